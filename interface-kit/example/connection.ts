// How an interface component talks to the native side: connect, follow the
// state by polling getStatus (no event reports it), and listen for the
// tunnel adapter coming and going.
import VLVPNTunnel, {type TunnelStatus} from 'vlvpn-native-modules/NativeVLVPNTunnel';
import {isNativeModuleError} from 'vlvpn-native-modules/errors';
import {subscribe, type Subscription} from 'vlvpn-native-modules/events';

export interface ConnectOptions {
  pollMs?: number;
  timeoutMs?: number;
  onStatus?: (status: TunnelStatus) => void;
}

export type ConnectOutcome =
  | {kind: 'connected'; status: TunnelStatus}
  | {kind: 'failed'; message: string}
  | {kind: 'superseded'};

const pause = (ms: number) => new Promise((resolve) => setTimeout(resolve, ms));

export async function connectAndFollow(
  profileId: string,
  configFileName: string,
  {pollMs = 250, timeoutMs = 30_000, onStatus}: ConnectOptions = {},
): Promise<ConnectOutcome> {
  try {
    const started = await VLVPNTunnel.connectOvpn(profileId, configFileName, '', '');
    if (started.superseded) return {kind: 'superseded'};
  } catch (error) {
    // The native side's sentence is written for the user.
    return {kind: 'failed', message: isNativeModuleError(error) ? error.message : String(error)};
  }
  for (const deadline = Date.now() + timeoutMs; Date.now() < deadline; await pause(pollMs)) {
    const status = await VLVPNTunnel.getStatus();
    onStatus?.(status);
    if (status.state === 'connected') return {kind: 'connected', status};
    if (status.state === 'disconnected') return {kind: 'failed', message: status.message ?? 'Disconnected'};
  }
  return {kind: 'failed', message: 'Timed out'};
}

export function watchTunnelAdapter(onChange: (up: boolean) => void): Subscription {
  return subscribe('tunnelAdapterChanged', ({up}) => onChange(up));
}
