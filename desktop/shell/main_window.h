// The one main window, titled "Velmora VPN": how the rest of the program
// finds, shows and asks about it. Linux has no window: nothing is shown and
// it is never visible.
#pragma once

namespace vlvpn::shell {

inline constexpr const wchar_t* kMainWindowTitle = L"Velmora VPN";

// Shows the main window, brings it to the front and emits appWindowDidShow;
// nothing when there is no such window. Any thread.
void showMainWindow();  // per platform

// The main window exists and is visible.
bool isMainWindowVisible();  // per platform

}  // namespace vlvpn::shell
