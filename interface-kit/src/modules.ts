// The modules by the names they are registered under.
import type {Spec as AuthSessionSpec} from './specs/NativeVLVPNAuthSession';
import type {Spec as BuildConfigSpec} from './specs/NativeVLVPNBuildConfig';
import type {Spec as TunnelSpec} from './specs/NativeVLVPNTunnel';

export interface NativeModuleSpecs {
  VLVPNTunnel: TunnelSpec;
  VLVPNAuthSession: AuthSessionSpec;
  VLVPNBuildConfig: BuildConfigSpec;
}

export type VLVPNModuleName = keyof NativeModuleSpecs;

// The methods a module's spec declares (TurboModule's own getConstants is
// optional, so only a module that declares it has it).
export type MethodName<Module extends VLVPNModuleName> = {
  [Key in keyof NativeModuleSpecs[Module]]-?: NativeModuleSpecs[Module][Key] extends (...args: never[]) => unknown
    ? Key
    : never;
}[keyof NativeModuleSpecs[Module]] &
  string;
