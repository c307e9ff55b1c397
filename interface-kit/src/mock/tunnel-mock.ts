// An in-memory VLVPNTunnel that keeps what the interface relies on: profiles
// saved, listed, read and deleted with the native side's rules; a connect
// that resolves "connecting" and is "connected" at a later getStatus; the
// kill-switch and IPv6 settings echoed; preferences and secrets kept.
import {TunnelMessages, nativeModuleError} from '../errors';
import type {PickedApp, PickedOvpnFile, Spec, TunnelStatus} from '../specs/NativeVLVPNTunnel';
import type {CallRecorder} from './call-recorder';
import {isPortablePathComponent} from './profile-identifier';

export interface TunnelMockOptions {
  // getStatus answers "connecting" this many times after a connect before
  // it answers "connected" (default 0: the first getStatus is "connected").
  connectingPolls?: number;
  // What the pickers return; absent means the user cancels.
  pickedApp?: PickedApp;
  pickedOvpnFile?: PickedOvpnFile;
  // Whether OpenVPN is installed (default true).
  openVpnInstalled?: boolean;
  // Executable names of running programs that terminateApps can end.
  runningApps?: string[];
  // What measureTcpLatency answers (default 20 ms).
  tcpLatencyMs?: number;
  wasLaunchedAtStartup?: boolean;
  deviceModel?: string;
}

// What a tunnel event the mock raises needs.
export type RaiseEvent = (name: 'tunnelAdapterChanged' | 'appWindowDidShow' | 'appWindowDidHide', body?: {up: boolean}) => void;

const profilesDir = 'C:\\Users\\mock\\AppData\\Local\\VLVPNDesk\\profiles';
const openVpnPath = 'C:\\Program Files\\OpenVPN\\bin\\openvpn.exe';
const mockPid = 4242;

interface StoredProfile {
  files: Map<string, string>;
  meta?: string;
  auth?: string;
}

class TunnelState {
  profiles = new Map<string, StoredProfile>();
  state: TunnelStatus['state'] = 'disconnected';
  message = '';
  profileId = '';
  pollsUntilConnected = 0;
  killSwitch = false;
  // Whether the program has put the kill switch up (a connect or the setting
  // turned on while connected did); it stays up after a disconnect.
  killSwitchInForce = false;
  blockIpv6 = false;
  windowVisible = true;
  menuBarVisible = true;
  launchAtLogin = false;
  defaults = new Map<string, string>();
  keychain = new Map<string, string>();
  runningApps: string[];

  constructor(options: TunnelMockOptions) {
    this.runningApps = [...(options.runningApps ?? [])];
  }
}

export interface TunnelMock {
  module: Spec;
  // The tunnel ends by itself (the server went away, say): the state becomes
  // "disconnected" with this message.
  dropTunnel(message?: string): void;
  reset(): void;
}

export function createTunnelMock(options: TunnelMockOptions, recorder: CallRecorder, raise: RaiseEvent): TunnelMock {
  let s = new TunnelState(options);
  const call = <Result>(method: string, args: unknown[], answer: () => Result) =>
    recorder.call('VLVPNTunnel', method, args, answer);

  const profileFolder = (profileId: string): StoredProfile => {
    if (!isPortablePathComponent(profileId)) throw nativeModuleError(TunnelMessages.invalidProfileId);
    // The native side creates the folder of any profile it is asked about.
    let profile = s.profiles.get(profileId);
    if (!profile) s.profiles.set(profileId, (profile = {files: new Map()}));
    return profile;
  };
  const setAdapter = (up: boolean) => raise('tunnelAdapterChanged', {up});
  const endTunnel = (message: string) => {
    const wasConnected = s.state === 'connected';
    s.state = 'disconnected';
    s.message = message;
    if (wasConnected) setAdapter(false);
  };

  const module: Spec = {
    pingHelper: () =>
      call('pingHelper', [], () => {
        if (options.openVpnInstalled === false) {
          throw nativeModuleError('OpenVPN not found. Install OpenVPN Community from https://openvpn.net/');
        }
        return 'pong';
      }),
    installHelper: () =>
      call('installHelper', [], () => {
        const installed = options.openVpnInstalled !== false;
        return {
          installed,
          reachable: installed,
          pong: installed ? 'pong' : '',
          hint: installed ? openVpnPath : 'OpenVPN not found. Install from https://openvpn.net/community-downloads/',
        };
      }),
    saveOvpnProfile: (profileId, content, fileName, unused) =>
      call('saveOvpnProfile', [profileId, content, fileName, unused], () => {
        if (!isPortablePathComponent(profileId)) throw nativeModuleError(TunnelMessages.invalidProfileId);
        if (!isPortablePathComponent(fileName)) throw nativeModuleError(TunnelMessages.invalidFileName);
        profileFolder(profileId).files.set(fileName, content);
        return {configPath: `${profilesDir}\\${profileId}\\${fileName}`, fileName};
      }),
    saveOvpnProfileMeta: (profileId, metadata) =>
      call('saveOvpnProfileMeta', [profileId, metadata], () => {
        profileFolder(profileId).meta = metadata;
      }),
    listSavedOvpnProfiles: () =>
      call('listSavedOvpnProfiles', [], () =>
        [...s.profiles.values()]
          .filter((profile) => profile.meta !== undefined)
          .map((profile) => ({_raw: profile.meta!.replace(/\r\n/g, '\n')})),
      ),
    deleteOvpnProfile: (profileId) =>
      call('deleteOvpnProfile', [profileId], () => {
        profileFolder(profileId);
        s.profiles.delete(profileId);
      }),
    saveOvpnAuth: (profileId, username, password) =>
      call('saveOvpnAuth', [profileId, username, password], () => {
        profileFolder(profileId).auth = `${username}\n${password}\n`;
      }),
    readOvpnAuth: (profileId) =>
      call('readOvpnAuth', [profileId], () => {
        const auth = profileFolder(profileId).auth;
        if (auth === undefined) throw nativeModuleError(TunnelMessages.authFileNotFound);
        const [username = '', password = ''] = auth.replace(/\r\n/g, '\n').split('\n');
        return {username, password};
      }),
    connectOvpn: (profileId, configFileName, username, password) =>
      call('connectOvpn', [profileId, configFileName, username, password], () => {
        const profile = profileFolder(profileId);
        if (username !== '') profile.auth = `${username}\n${password}\n`;
        const config = profile.files.has(configFileName)
          ? configFileName
          : [...profile.files.keys()].find((name) => name.endsWith('.ovpn'));
        if (config === undefined) throw nativeModuleError(`VPN config not found for profile: ${profileId}`);
        if (s.state === 'connected') setAdapter(false);
        s.state = 'connecting';
        s.profileId = profileId;
        s.pollsUntilConnected = options.connectingPolls ?? 0;
        if (s.killSwitch) s.killSwitchInForce = true;
        return {state: 'connecting' as const};
      }),
    disconnect: () =>
      call('disconnect', [], () => {
        endTunnel('');
        s.profileId = '';
        return {state: 'disconnected' as const};
      }),
    getStatus: () =>
      call('getStatus', [], (): TunnelStatus => {
        if (s.state === 'connecting') {
          if (s.pollsUntilConnected > 0) {
            s.pollsUntilConnected--;
          } else {
            s.state = 'connected';
            s.message = '';
            setAdapter(true);
          }
        }
        const status: TunnelStatus = {state: s.state, downBps: 0, upBps: 0, adapterUp: s.state === 'connected'};
        if (s.message) status.message = s.message;
        if (s.profileId) status.profileId = s.profileId;
        if (s.state !== 'disconnected') status.pid = mockPid;
        if (s.killSwitch) status.killSwitchActive = s.killSwitchInForce;
        if (s.state === 'connected') Object.assign(status, {rxBytes: 0, txBytes: 0, physicalLinkUp: true});
        return status;
      }),
    getHelperInfo: () =>
      call('getHelperInfo', [], () => {
        const installed = options.openVpnInstalled !== false;
        return {
          machService: 'openvpn.exe',
          plist: installed ? openVpnPath : '',
          profilesDir,
          installed,
          reachable: s.state !== 'disconnected',
        };
      }),
    pingThroughTunnel: (host, timeoutMs) =>
      call('pingThroughTunnel', [host, timeoutMs], () =>
        s.state === 'connected' ? {ok: true, rttMs: 1} : {ok: false, reason: 'no_tunnel_adapter'},
      ),
    measureTcpLatency: (host, port) => call('measureTcpLatency', [host, port], () => options.tcpLatencyMs ?? 20),
    getTrafficStats: () => call('getTrafficStats', [], () => ({downBps: 0, upBps: 0})),
    getDeviceMarketingName: () => call('getDeviceMarketingName', [], () => options.deviceModel ?? 'Windows PC'),
    promptVpnAuth: (first, second) =>
      call('promptVpnAuth', [first, second], () => {
        throw nativeModuleError(TunnelMessages.promptUnavailable);
      }),
    setKillSwitchEnabled: (enabled) =>
      call('setKillSwitchEnabled', [enabled], () => {
        s.killSwitch = enabled;
        s.killSwitchInForce = enabled && (s.killSwitchInForce || s.state === 'connected');
        return {enabled};
      }),
    prepareKillSwitchForReconnect: () =>
      call('prepareKillSwitchForReconnect', [], () =>
        s.killSwitch
          ? {prepared: true, path: 'windows-wfp', mode: 'dns_only'}
          : {prepared: false, reason: 'kill_switch_off'},
      ),
    setBlockIpv6Enabled: (enabled) =>
      call('setBlockIpv6Enabled', [enabled], () => {
        s.blockIpv6 = enabled;
        return {enabled};
      }),
    pickApp: () => call('pickApp', [], () => (options.pickedApp ? {...options.pickedApp} : {})),
    pickOvpnFile: () => call('pickOvpnFile', [], () => (options.pickedOvpnFile ? {...options.pickedOvpnFile} : {})),
    terminateApps: (names) =>
      call('terminateApps', [names], () => {
        const wanted = new Set(names.map((name) => name.toLowerCase()));
        const terminated = s.runningApps.filter((name) => wanted.has(name.toLowerCase()));
        s.runningApps = s.runningApps.filter((name) => !wanted.has(name.toLowerCase()));
        return {terminated};
      }),
    setMenuBarVisible: (visible) =>
      call('setMenuBarVisible', [visible], () => {
        s.menuBarVisible = visible;
        return visible;
      }),
    updateMenuBarMenu: (model) => call('updateMenuBarMenu', [model], () => true),
    activateApp: () =>
      call('activateApp', [], () => {
        s.windowVisible = true;
        raise('appWindowDidShow');
        return true;
      }),
    isAppWindowVisible: () => call('isAppWindowVisible', [], () => s.windowVisible),
    notifyVpnConnectedOnHide: () =>
      call('notifyVpnConnectedOnHide', [], () => {
        s.windowVisible = false;
        raise('appWindowDidHide');
        return true;
      }),
    requestNotificationPermission: () => call('requestNotificationPermission', [], () => true),
    setLaunchAtLogin: (enabled) =>
      call('setLaunchAtLogin', [enabled], () => {
        s.launchAtLogin = enabled;
        return true;
      }),
    getLaunchAtLogin: () => call('getLaunchAtLogin', [], () => s.launchAtLogin),
    wasLaunchedAtStartup: () => call('wasLaunchedAtStartup', [], () => options.wasLaunchedAtStartup ?? false),
    writeUserDefaults: (key, value) =>
      call('writeUserDefaults', [key, value], () => {
        s.defaults.set(key, value);
      }),
    readUserDefaults: (key) => call('readUserDefaults', [key], () => s.defaults.get(key) ?? ''),
    writeKeychainItem: (service, account, secret) =>
      call('writeKeychainItem', [service, account, secret], () => {
        s.keychain.set(JSON.stringify([service, account]), secret);
      }),
    readKeychainItem: (service, account) =>
      call('readKeychainItem', [service, account], () => s.keychain.get(JSON.stringify([service, account])) ?? ''),
    deleteKeychainItem: (service, account) =>
      call('deleteKeychainItem', [service, account], () => {
        s.keychain.delete(JSON.stringify([service, account]));
      }),
  };

  return {
    module,
    dropTunnel: (message = 'Connection closed') => {
      if (s.state !== 'disconnected') endTunnel(message);
    },
    reset: () => {
      s = new TunnelState(options);
    },
  };
}
