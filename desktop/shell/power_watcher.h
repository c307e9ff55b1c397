// Tells the interface when the computer is about to sleep and when it has
// resumed. Windows: the tray window's power broadcasts (see tray_win32.cpp).
// Linux: logind's PrepareForSleep signal on the system bus, when a system
// bus answers; else the events never come.
#pragma once

namespace vlvpn::shell {

// Starts watching once per process; later calls do nothing.
void watchSleepAndResume();

}  // namespace vlvpn::shell
