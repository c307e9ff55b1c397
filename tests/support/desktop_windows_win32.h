// The desktop program's windows as another process sees them (Windows
// tests and the screenshot tool): its main window, its tray window and
// the tray menu, and pictures of the screen.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace vlvpn::test {

// The top-level window titled "Velmora VPN" of process `pid`, waited for up
// to 5 s; null when there is none.
HWND mainWindowOf(uint32_t pid);

// The tray's hidden window of the program started with VLVPN_DESK_INSTANCE
// set to `instance`, waited for up to 5 s.
HWND trayWindowOf(const std::string& instance);

// Opens the tray menu as a right click on the icon would; the menu window
// of process `pid`, or null when none opened within 5 s.
HWND openTrayMenu(HWND trayWindow, uint32_t pid);

// Dismisses the open menu (Escape) and waits until it is gone; false when
// it stayed.
bool closeTrayMenu(HWND menuWindow);

// Writes the screen inside `area` as a PNG file.
bool saveScreenPng(const RECT& area, const std::filesystem::path& file);

}  // namespace vlvpn::test
