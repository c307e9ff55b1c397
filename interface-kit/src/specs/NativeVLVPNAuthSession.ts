// The sign-in module: OAuth sign-in through the system browser with a
// loopback redirect. beginLoopback opens a listener on 127.0.0.1 and gives the
// redirect address to put in the authorisation request; awaitLoopbackCallback
// opens that request in the browser and resolves with the address the browser
// was redirected to, path and query exactly as sent (the interface reads the
// code from it). One sign-in at a time.
//
// Rejections of awaitLoopbackCallback after it started carry "code: sentence"
// messages; errors.ts names the codes and splits such a message.
import type {CodegenTypes, TurboModule} from 'react-native';
import {TurboModuleRegistry} from 'react-native';

export type LoopbackListener = {
  // "http://127.0.0.1:<port>/oauth2redirect"
  redirectUri: string;
  port: CodegenTypes.Int32;
};

export type LoopbackCallback = {
  // "http://127.0.0.1:<port>" followed by the request target the browser sent.
  callbackUrl: string;
};

export interface Spec extends TurboModule {
  beginLoopback(): Promise<LoopbackListener>;
  awaitLoopbackCallback(authorizeUrl: string): Promise<LoopbackCallback>;
  // Ends a waiting sign-in ("cancelled: Google sign-in was cancelled") and
  // closes the listener; always resolves true.
  cancelLoopback(): Promise<boolean>;
}

export default TurboModuleRegistry.getEnforcing<Spec>('VLVPNAuthSession');
