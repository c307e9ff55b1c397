// Making sure a TAP adapter exists before a connect, and noticing when the
// tunnel adapter comes up or goes down.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>

#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/elevated_launcher.h"

namespace vlvpn::tunnel {

inline constexpr std::chrono::milliseconds kInstallerWait{90000};
inline constexpr std::chrono::milliseconds kAdapterPoll{500};
inline constexpr int kAdapterPolls = 12;

// The installer in the folder OpenVPN runs from ("tap-windows.exe"; Linux:
// "tap-windows"), or empty when there is none.
std::filesystem::path findTapInstaller(const std::filesystem::path& openVpnPath);

struct TapSetup {
  AdapterQuery& adapters;
  ElevatedLauncher& launcher;
  std::function<void(std::chrono::milliseconds)> sleep;
};

// True when a TAP adapter is there at the end: runs the installer elevated
// and silently ("/S") when none is, waits up to 90 s for it and then polls
// for the adapter for up to 6 s.
bool ensureTapAdapter(const TapSetup& setup, const std::filesystem::path& openVpnPath);

// The up state of the TAP adapter as last seen; replaced by exchange so each
// change is reported once.
extern std::atomic<bool> adapterUpLast;

// Calls `onChange(up)` when the TAP adapter's up state differs from the last one seen.
void checkTapAdapterChange(AdapterQuery& adapters, const std::function<void(bool up)>& onChange);

}  // namespace vlvpn::tunnel
