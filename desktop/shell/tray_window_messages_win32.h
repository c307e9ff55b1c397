// The messages of the tray's hidden window, in the WM_USER range.
#pragma once

#include <windows.h>

namespace vlvpn::shell {

inline constexpr UINT kTrayCallback = WM_USER + 42;  // mouse and balloon notifications of the icon
inline constexpr UINT kTrayRefresh = WM_USER + 43;   // rebuild icon and tooltip
inline constexpr UINT kTrayBalloon = WM_USER + 44;   // show the pending balloon
inline constexpr UINT kTrayShowApp = WM_USER + 45;   // a second instance asks for the main window

}  // namespace vlvpn::shell
