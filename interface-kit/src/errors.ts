// What a rejected call of the native modules gives the interface: an Error
// whose message is the native side's sentence, with the code "EUNSPECIFIED"
// and an empty userInfo, as React Native builds it from the rejection.

export const UNSPECIFIED_CODE = 'EUNSPECIFIED';

export interface NativeModuleError extends Error {
  code: string;
  userInfo: Record<string, unknown> | null;
}

export function isNativeModuleError(error: unknown): error is NativeModuleError {
  return error instanceof Error && typeof (error as Partial<NativeModuleError>).code === 'string';
}

// An Error of that shape, for mocks and for hosts other than React Native.
export function nativeModuleError(
  message: string,
  code: string = UNSPECIFIED_CODE,
  userInfo: Record<string, unknown> | null = {},
): NativeModuleError {
  return Object.assign(new Error(message), {code, userInfo});
}

// Sentences of the tunnel module that the interface may want to tell apart.
// Connect failures have many more, each written for the user.
export const TunnelMessages = {
  authFileNotFound: 'Auth file not found',
  invalidProfileId: 'Invalid profile identifier',
  invalidFileName: 'Invalid file name',
  promptUnavailable: 'Interactive auth prompt not available on Windows',
} as const;

// How a started sign-in ends when it does not resolve: the message is
// "<code>: <sentence>".
export type AuthSessionFailureCode = 'invalid_url' | 'open_url' | 'cancelled' | 'loopback_accept' | 'no_code';

export type AuthSessionFailureMessage = `${AuthSessionFailureCode}: ${string}`;

// Rejections that come before a sign-in started carry a sentence alone.
export type AuthSessionSetupMessage =
  | 'Could not create OAuth loopback socket'
  | 'Could not bind OAuth loopback socket'
  | 'Could not read OAuth loopback port'
  | 'Could not listen on OAuth loopback socket'
  | 'Call beginLoopback before awaitLoopbackCallback'
  | 'OAuth loopback already waiting';

export type AuthSessionMessage = AuthSessionFailureMessage | AuthSessionSetupMessage;

const failureCodes: readonly AuthSessionFailureCode[] = ['invalid_url', 'open_url', 'cancelled', 'loopback_accept', 'no_code'];

export interface AuthSessionFailure {
  code: AuthSessionFailureCode;
  sentence: string;
}

// The code and sentence of a sign-in that ended without a redirect, or
// undefined for any other error (a set-up failure among them).
export function authSessionFailure(error: unknown): AuthSessionFailure | undefined {
  if (!(error instanceof Error)) return undefined;
  const separator = error.message.indexOf(': ');
  if (separator < 0) return undefined;
  const code = error.message.slice(0, separator);
  if (!(failureCodes as readonly string[]).includes(code)) return undefined;
  return {code: code as AuthSessionFailureCode, sentence: error.message.slice(separator + 2)};
}
