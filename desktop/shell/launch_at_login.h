// Starting the program when the user logs on, and knowing whether this run
// is such a start. A packaged program (Windows) uses its app package's
// startup task "VLVPNLaunchAtLogin" and falls back to the user's own entry
// when that fails; every other run uses the entry: on Windows the user's Run
// value "VelmoraVPN", on Linux the XDG autostart entry "VelmoraVPN.desktop".
// The system keeps the setting; the program keeps no copy.
#pragma once

#include <filesystem>

#include "desktop/shell/startup_task.h"

namespace vlvpn::shell {

// Set once at start, before anything reads it.
void markLaunchedAtStartup();
bool wasLaunchedAtStartup();

// The user's own entry.
class LaunchEntry {
 public:
  virtual ~LaunchEntry() = default;
  // Writes or removes it; failures show in exists().
  virtual void write(bool enabled) = 0;
  // Whether it is there (its content does not matter).
  virtual bool exists() = 0;
};

// Packaged: the startup task (enabling asks the system, which may say no, as
// when the user turned the task off in the system's settings; disabling
// always holds, and removes an entry an earlier fallback left), the entry
// when any step of it fails. Unpackaged: the entry.
// Whether the requested state now holds.
bool applyLaunchAtLogin(bool enabled, StartupTaskPort& task, LaunchEntry& entry);
// Whether launch at log-on is on, by the same road.
bool readLaunchAtLogin(StartupTaskPort& task, LaunchEntry& entry);

// The two over the platform's own task and entry.
bool applyLaunchAtLogin(bool enabled);  // per platform
bool readLaunchAtLogin();               // per platform

// Linux: $XDG_CONFIG_HOME/autostart/VelmoraVPN.desktop, by default under
// ~/.config; empty when neither that variable nor HOME is set.
std::filesystem::path autostartEntryPath();

}  // namespace vlvpn::shell
