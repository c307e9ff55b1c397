// Fixed facts about this build and this computer, read once at start-up.
import type {TurboModule} from 'react-native';
import {TurboModuleRegistry} from 'react-native';

export type BuildConstants = {
  // The service's API: an HTTPS address whose path ends "/api/v1".
  apiBaseUrl: string;
  // Whether device details go with VPN authentication: false.
  includeVpnAuthDeviceMetadata: boolean;
  // "major.minor.patch" of the installed program, "1.0.0" when unknown.
  versionName: string;
  // "Velmora VPN".
  appDisplayName: string;
  // The operating system's display version, such as "23H2", or "10".
  osVersion: string;
  // The computer's model, its maker followed by " PC", or "Windows PC".
  deviceModel: string;
};

export interface Spec extends TurboModule {
  getConstants(): BuildConstants;
}

export default TurboModuleRegistry.getEnforcing<Spec>('VLVPNBuildConfig');
