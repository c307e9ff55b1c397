// Starting the program when the user logs on, and knowing whether this run
// is such a start. Windows: the user's Run value "VelmoraVPN"; Linux: the
// XDG autostart entry "VelmoraVPN.desktop". The system keeps the setting;
// the program keeps no copy.
#pragma once

#include <filesystem>

namespace vlvpn::shell {

// Set once at start, before anything reads it.
void markLaunchedAtStartup();
bool wasLaunchedAtStartup();

// Writes or removes the entry; whether the requested state now holds.
bool applyLaunchAtLogin(bool enabled);  // per platform
// Whether the entry exists (its content does not matter).
bool readLaunchAtLogin();  // per platform

// Linux: $XDG_CONFIG_HOME/autostart/VelmoraVPN.desktop, by default under
// ~/.config; empty when neither that variable nor HOME is set.
std::filesystem::path autostartEntryPath();

}  // namespace vlvpn::shell
