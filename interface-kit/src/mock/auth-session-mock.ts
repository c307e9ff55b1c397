// An in-memory VLVPNAuthSession: one sign-in at a time, which the test ends
// with completeSignIn (the browser's redirect arrives) or the interface ends
// with cancelLoopback.
import {nativeModuleError} from '../errors';
import type {LoopbackCallback, Spec} from '../specs/NativeVLVPNAuthSession';
import type {CallRecorder} from './call-recorder';

const port = 42813;

interface Waiter {
  resolve(callback: LoopbackCallback): void;
  reject(error: Error): void;
}

export interface AuthSessionMock {
  module: Spec;
  // The address the last awaitLoopbackCallback opened in the "browser".
  readonly openedUrl: string | undefined;
  // The browser comes back to the loopback address with this request target.
  completeSignIn(target?: string): void;
  reset(): void;
}

export function createAuthSessionMock(recorder: CallRecorder): AuthSessionMock {
  let listening = false;
  let waiter: Waiter | undefined;
  let openedUrl: string | undefined;
  const call = <Result>(method: string, args: unknown[], answer: () => Result | Promise<Result>) =>
    recorder.call('VLVPNAuthSession', method, args, answer);

  // Closes the listener; a waiting sign-in ends with `failure`.
  const close = (failure?: string) => {
    listening = false;
    const ended = waiter;
    waiter = undefined;
    if (ended && failure) ended.reject(nativeModuleError(failure));
  };

  const module: Spec = {
    beginLoopback: () =>
      call('beginLoopback', [], () => {
        close('cancelled: Google sign-in was cancelled');
        listening = true;
        return {redirectUri: `http://127.0.0.1:${port}/oauth2redirect`, port};
      }),
    awaitLoopbackCallback: (authorizeUrl) =>
      call('awaitLoopbackCallback', [authorizeUrl], () => {
        if (!listening) throw nativeModuleError('Call beginLoopback before awaitLoopbackCallback');
        if (waiter) throw nativeModuleError('OAuth loopback already waiting');
        if (authorizeUrl === '') {
          close();
          throw nativeModuleError('invalid_url: Missing OAuth authorize URL');
        }
        openedUrl = authorizeUrl;
        return new Promise<LoopbackCallback>((resolve, reject) => {
          waiter = {resolve, reject};
        });
      }),
    cancelLoopback: () =>
      call('cancelLoopback', [], () => {
        close('cancelled: Google sign-in was cancelled');
        return true;
      }),
  };

  return {
    module,
    get openedUrl() {
      return openedUrl;
    },
    completeSignIn: (target = '/oauth2redirect?code=mock-code&state=mock-state') => {
      if (!waiter) throw new Error('completeSignIn: no awaitLoopbackCallback is waiting');
      const done = waiter;
      close();
      done.resolve({callbackUrl: `http://127.0.0.1:${port}${target}`});
    },
    reset: () => {
      close();
      openedUrl = undefined;
    },
  };
}
