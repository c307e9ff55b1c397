// The events the native side sends, all through React Native's
// DeviceEventEmitter under these plain names (no per-module emitters).
import {DeviceEventEmitter} from 'react-native';

export type MenuBarAction = {
  // The tray menu item's action, as the interface named it in the menu model
  // ("quickConnect", "connectDedicated", "disconnect", "openApp", ...).
  action: string;
  // Only when the item carries a server.
  serverId?: string;
};

export type TunnelAdapterChange = {
  // Whether a TAP adapter is up now.
  up: boolean;
};

// Every event name with its body; undefined for events without one.
export interface VLVPNTunnelEvents {
  menuBarAction: MenuBarAction;
  appWindowDidShow: undefined;
  appWindowDidHide: undefined;
  systemDidResume: undefined;
  systemWillSleep: undefined;
  tunnelAdapterChanged: TunnelAdapterChange;
}

export type VLVPNTunnelEventName = keyof VLVPNTunnelEvents;

export type EventHandler<Name extends VLVPNTunnelEventName> = (body: VLVPNTunnelEvents[Name]) => void;

export interface Subscription {
  remove(): void;
}

export type Subscribe = <Name extends VLVPNTunnelEventName>(name: Name, handler: EventHandler<Name>) => Subscription;

export const subscribe: Subscribe = (name, handler) => DeviceEventEmitter.addListener(name, handler);
