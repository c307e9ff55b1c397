// The tunnel module: OpenVPN sessions, profiles, the kill switch, probes, the
// tray menu, the main window, launch at log-on, preferences and secrets.
//
// Every method answers through a promise. Rejections are Errors with the code
// "EUNSPECIFIED" and a fixed English sentence as the message (see errors.ts);
// methods said below never to reject report trouble inside their result.
// Result objects leave optional keys out rather than setting them to null.
//
// React Native's code generator reads this file, which limits the types to
// what it understands: results are written as type aliases in this file, a
// single string literal is written as `string` with the value in a comment.
import type {CodegenTypes, TurboModule} from 'react-native';
import {TurboModuleRegistry} from 'react-native';

export type ConnectionState = 'connecting' | 'connected' | 'disconnected';

export type HelperInstallation = {
  installed: boolean;
  // The same value as `installed`.
  reachable: boolean;
  // "pong" when OpenVPN was found, else "".
  pong: string;
  // The full path of OpenVPN when found, else a sentence saying where to get it.
  hint: string;
};

export type SavedProfileConfig = {
  configPath: string;
  // The file name exactly as it was passed.
  fileName: string;
};

export type SavedProfileMeta = {
  // The whole metadata text saved with saveOvpnProfileMeta, CR LF read as LF.
  _raw: string;
};

export type OvpnAuth = {
  username: string;
  password: string;
};

export type ConnectResult = {
  // Always "connecting": the tunnel is still being built; poll getStatus.
  state: ConnectionState;
  // true when a newer connectOvpn call took over; absent otherwise.
  superseded?: boolean;
};

export type DisconnectResult = {
  // Always "disconnected".
  state: ConnectionState;
};

export type TunnelStatus = {
  state: ConnectionState;
  // Why the last tunnel failed, in a sentence for the user.
  message?: string;
  profileId?: string;
  // The OpenVPN process while it runs.
  pid?: CodegenTypes.Int32;
  // Whole bytes per second; 0 unless connected.
  downBps: number;
  upBps: number;
  // false unless connected.
  adapterUp: boolean;
  // Octet counters of the tunnel adapter: only when connected and readable.
  rxBytes?: number;
  txBytes?: number;
  // Only when connected: whether a physical IPv4 link is up.
  physicalLinkUp?: boolean;
  // Only while the kill-switch setting is on: whether the service has
  // confirmed the kill switch the program asked for last. false while it is
  // being put (back) in force, say after the service restarted.
  killSwitchActive?: boolean;
};

export type HelperInfo = {
  // Always "openvpn.exe".
  machService: string;
  // The full path of OpenVPN, or "" when it was not found.
  plist: string;
  profilesDir: string;
  installed: boolean;
  // Whether a management connection to OpenVPN is held.
  reachable: boolean;
};

export type TunnelPing = {
  ok: boolean;
  // Milliseconds; only when ok.
  rttMs?: number;
  // Only when not ok: "no_tunnel_adapter", "bad_host", "icmp_unavailable",
  // "timeout", or "icmp_status_" followed by the status number.
  reason?: string;
};

export type TrafficRates = {
  downBps: number;
  upBps: number;
};

export type SettingEcho = {
  enabled: boolean;
};

export type KillSwitchPreparation = {
  prepared: boolean;
  // When prepared: "windows-wfp".
  path?: string;
  // When prepared: "dns_only": the kill switch stays up while the interface
  // switches servers, letting out DNS (for the next server's name) and
  // nothing else.
  mode?: string;
  // When not prepared: "kill_switch_off".
  reason?: string;
};

export type PickedApp = {
  // The executable's file name, which terminateApps matches.
  bundleId: string;
  name: string;
  path: string;
  // Always "#1d8fef".
  color: string;
};

export type PickedOvpnFile = {
  fileName: string;
  content: string;
  sourceDirectory: string;
};

// What a picker resolves with when the user cancels: an empty object.
export type NothingPicked = {};

export type TerminatedApps = {
  // The executable name of every process that was ended, in the order found.
  terminated: Array<string>;
};

export interface Spec extends TurboModule {
  // Resolves "pong"; rejects when OpenVPN is not installed.
  pingHelper(): Promise<string>;
  installHelper(): Promise<HelperInstallation>;
  saveOvpnProfile(profileId: string, content: string, fileName: string, unused: string): Promise<SavedProfileConfig>;
  saveOvpnProfileMeta(profileId: string, metadata: string): Promise<void>;
  listSavedOvpnProfiles(): Promise<Array<SavedProfileMeta>>;
  deleteOvpnProfile(profileId: string): Promise<void>;
  saveOvpnAuth(profileId: string, username: string, password: string): Promise<void>;
  // Rejects "Auth file not found".
  readOvpnAuth(profileId: string): Promise<OvpnAuth>;
  // Rejects with a sentence for the user when the tunnel cannot be started.
  connectOvpn(profileId: string, configFileName: string, username: string, password: string): Promise<ConnectResult>;
  disconnect(): Promise<DisconnectResult>;
  getStatus(): Promise<TunnelStatus>;
  getHelperInfo(): Promise<HelperInfo>;
  // An empty host pings "1.1.1.1"; a timeout below 1 waits 2000 ms.
  pingThroughTunnel(host: string, timeoutMs: CodegenTypes.Int32): Promise<TunnelPing>;
  // Milliseconds, at least 1 when the server answered, 0 when nothing did.
  measureTcpLatency(host: string, port: CodegenTypes.Int32): Promise<CodegenTypes.Int32>;
  getTrafficStats(): Promise<TrafficRates>;
  getDeviceMarketingName(): Promise<string>;
  // Always rejects "Interactive auth prompt not available on Windows".
  promptVpnAuth(first: string, second: string): Promise<void>;
  setKillSwitchEnabled(enabled: boolean): Promise<SettingEcho>;
  prepareKillSwitchForReconnect(): Promise<KillSwitchPreparation>;
  setBlockIpv6Enabled(enabled: boolean): Promise<SettingEcho>;
  pickApp(): Promise<PickedApp | NothingPicked>;
  pickOvpnFile(): Promise<PickedOvpnFile | NothingPicked>;
  terminateApps(names: Array<string>): Promise<TerminatedApps>;
  setMenuBarVisible(visible: boolean): Promise<boolean>;
  // The tray menu as JSON text; resolves true.
  updateMenuBarMenu(model: string): Promise<boolean>;
  activateApp(): Promise<boolean>;
  isAppWindowVisible(): Promise<boolean>;
  notifyVpnConnectedOnHide(): Promise<boolean>;
  requestNotificationPermission(): Promise<boolean>;
  // Resolves true when the requested setting now holds.
  setLaunchAtLogin(enabled: boolean): Promise<boolean>;
  // Whether the program starts at log-on.
  getLaunchAtLogin(): Promise<boolean>;
  wasLaunchedAtStartup(): Promise<boolean>;
  writeUserDefaults(key: string, value: string): Promise<void>;
  // "" when nothing is stored under the key.
  readUserDefaults(key: string): Promise<string>;
  writeKeychainItem(service: string, account: string, secret: string): Promise<void>;
  // "" when there is no such item.
  readKeychainItem(service: string, account: string): Promise<string>;
  deleteKeychainItem(service: string, account: string): Promise<void>;
}

export default TurboModuleRegistry.getEnforcing<Spec>('VLVPNTunnel');
