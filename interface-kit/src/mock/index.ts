// In-memory native modules for the interface's unit tests, typed by the same
// specs as the real ones. With Jest:
//
//   jest.mock('vlvpn-native-modules/NativeVLVPNTunnel', () =>
//     require('vlvpn-native-modules/mock').specModule('VLVPNTunnel'));
//   jest.mock('vlvpn-native-modules/events', () =>
//     require('vlvpn-native-modules/mock').eventsModule());
//
// and in the test, `nativeModulesMock` emits events, queues rejections and
// is reset between tests. Nothing here needs React Native.
import {EventListeners} from '../event-listeners';
import type {EventHandler, Subscribe, VLVPNTunnelEventName, VLVPNTunnelEvents} from '../events';
import type {MethodName, NativeModuleSpecs, VLVPNModuleName} from '../modules';
import type {BuildConstants, Spec as BuildConfigSpec} from '../specs/NativeVLVPNBuildConfig';
import {createAuthSessionMock} from './auth-session-mock';
import {CallRecorder, type RecordedCall} from './call-recorder';
import {createTunnelMock, type TunnelMockOptions} from './tunnel-mock';

export type {RecordedCall} from './call-recorder';
export type {TunnelMockOptions} from './tunnel-mock';

export interface NativeModulesMockOptions extends TunnelMockOptions {
  constants?: Partial<BuildConstants>;
}

// The body argument an event takes: none for events without one.
export type EventBody<Name extends VLVPNTunnelEventName> = VLVPNTunnelEvents[Name] extends undefined
  ? []
  : [VLVPNTunnelEvents[Name]];

export interface NativeModulesMock {
  NativeModules: NativeModuleSpecs;
  subscribe: Subscribe;
  // Delivers an event to every subscriber, as the native side would.
  emit<Name extends VLVPNTunnelEventName>(name: Name, ...body: EventBody<Name>): void;
  // The next call of that method rejects with this message (code "EUNSPECIFIED");
  // several queue up.
  rejectNext<Module extends VLVPNModuleName>(module: Module, method: MethodName<Module>, message: string): void;
  // The tunnel ends by itself: getStatus then answers "disconnected" with
  // this message ("Connection closed" by default).
  dropTunnel(message?: string): void;
  // The browser returns to the sign-in's loopback address with this request
  // target: the waiting awaitLoopbackCallback resolves.
  completeSignIn(target?: string): void;
  // The address the last awaitLoopbackCallback opened.
  readonly openedAuthorizeUrl: string | undefined;
  // Every call so far, in order.
  readonly calls: readonly RecordedCall[];
  // Forgets all state, calls, queued rejections and subscribers; the module
  // objects stay the same, so modules already handed to the code under test
  // keep working.
  reset(): void;
  // What a jest.mock factory returns for a spec module or for the events module.
  specModule<Module extends VLVPNModuleName>(
    module: Module,
  ): {__esModule: true; default: NativeModuleSpecs[Module]};
  eventsModule(): {__esModule: true; subscribe: Subscribe};
}

export const defaultMockConstants: BuildConstants = {
  apiBaseUrl: 'https://api.velmora.example/api/v1',
  includeVpnAuthDeviceMetadata: false,
  versionName: '1.0.0',
  appDisplayName: 'Velmora VPN',
  osVersion: '23H2',
  deviceModel: 'Windows PC',
};

export function createNativeModulesMock(options: NativeModulesMockOptions = {}): NativeModulesMock {
  const recorder = new CallRecorder();
  const listeners = new EventListeners();
  const emit = (name: string, body?: unknown) => listeners.emit(name, body);
  const subscribe: Subscribe = <Name extends VLVPNTunnelEventName>(name: Name, handler: EventHandler<Name>) =>
    listeners.add(name, (body) => handler(body as VLVPNTunnelEvents[Name]));

  const constants: BuildConstants = {
    ...defaultMockConstants,
    ...(options.deviceModel !== undefined ? {deviceModel: options.deviceModel} : {}),
    ...options.constants,
  };
  const tunnel = createTunnelMock({...options, deviceModel: constants.deviceModel}, recorder, emit);
  const authSession = createAuthSessionMock(recorder);
  const buildConfig: BuildConfigSpec = {getConstants: () => ({...constants})};
  const NativeModules: NativeModuleSpecs = {
    VLVPNTunnel: tunnel.module,
    VLVPNAuthSession: authSession.module,
    VLVPNBuildConfig: buildConfig,
  };

  return {
    NativeModules,
    subscribe,
    emit: (name, ...body) => emit(name, body[0]),
    rejectNext: (module, method, message) => recorder.rejectNext(module, method, message),
    dropTunnel: (message) => tunnel.dropTunnel(message),
    completeSignIn: (target) => authSession.completeSignIn(target),
    get openedAuthorizeUrl() {
      return authSession.openedUrl;
    },
    get calls() {
      return recorder.calls;
    },
    reset: () => {
      recorder.clear();
      listeners.clear();
      tunnel.reset();
      authSession.reset();
    },
    specModule: (module) => ({__esModule: true, default: NativeModules[module]}),
    eventsModule: () => ({__esModule: true, subscribe}),
  };
}

// The one mock that jest.mock factories and the tests share.
export const nativeModulesMock: NativeModulesMock = createNativeModulesMock();

export const specModule: NativeModulesMock['specModule'] = (module) => nativeModulesMock.specModule(module);
export const eventsModule: NativeModulesMock['eventsModule'] = () => nativeModulesMock.eventsModule();
