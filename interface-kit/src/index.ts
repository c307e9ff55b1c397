// The three native modules as the interface imports them, with their events
// and error shapes. Needs React Native; a Node test harness imports
// "vlvpn-native-modules/client" or "vlvpn-native-modules/mock" instead.
export {default as VLVPNTunnel} from './specs/NativeVLVPNTunnel';
export type * from './specs/NativeVLVPNTunnel';
export {default as VLVPNAuthSession} from './specs/NativeVLVPNAuthSession';
export type {LoopbackCallback, LoopbackListener} from './specs/NativeVLVPNAuthSession';
export {default as VLVPNBuildConfig} from './specs/NativeVLVPNBuildConfig';
export type {BuildConstants} from './specs/NativeVLVPNBuildConfig';
export * from './events';
export * from './errors';
export type {NativeModuleSpecs, VLVPNModuleName} from './modules';
