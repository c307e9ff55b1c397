// Resource identifiers of VLVPNDesk.exe, shared by the resource script and
// the code that loads them.
#pragma once

#define VLVPN_IDI_APP_ICON 1008
#define VLVPN_IDI_TRAY_DISCONNECTED 1009
#define VLVPN_IDI_TRAY_CONNECTED 1010

#ifndef RC_INVOKED
namespace vlvpn::shell {
inline constexpr int kIconApp = VLVPN_IDI_APP_ICON;
inline constexpr int kIconTrayDisconnected = VLVPN_IDI_TRAY_DISCONNECTED;
inline constexpr int kIconTrayConnected = VLVPN_IDI_TRAY_CONNECTED;
}  // namespace vlvpn::shell
#endif
