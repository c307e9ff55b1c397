// How the service process runs: under the system's service manager, or in the
// foreground ("console"). Either way `run` does the work and returns once the
// stop signal has been handled.
#pragma once

#include <cstdint>
#include <functional>

#include "service/stop_signal.h"

namespace vlvpn::service {

using ServiceBody = std::function<int(StopSignal& stop)>;

inline constexpr const wchar_t* kServiceName = L"VLVPNKillSwitch";

// Foreground. Windows: nothing signals the stop (the process is ended from
// outside). Linux: SIGTERM and SIGINT signal it, so the shutdown steps run.
int runConsole(const ServiceBody& body);

// Windows: under the Service Control Manager, reporting start-pending,
// running, stop-pending and stopped; the exit code is GetLastError when the
// dispatcher cannot start. Linux: as runConsole (systemd runs the service in
// the foreground).
int runAsService(const ServiceBody& body);

// What the service manager does when the service ends without being asked:
// restart it after a few seconds, at most three times a day (the count
// starts again after a day without failures).
inline constexpr uint32_t kRestartDelayMs = 5000;
inline constexpr uint32_t kRestartsPerDay = 3;
inline constexpr uint32_t kFailureCountResetSeconds = 24 * 60 * 60;
inline constexpr const wchar_t* kServiceDescription =
    L"Keeps Velmora VPN's kill switch and starts OpenVPN with the rights they need.";

// The installer's "configure" step. Windows: writes the installed service's
// recovery and description (ChangeServiceConfig2W), which the installer's
// tables cannot; 0, or the failing call's code. Linux: the unit file says
// it all (Restart=on-failure), so there is nothing to do and it gives 0.
int configureInstalledService(const wchar_t* serviceName = kServiceName);

}  // namespace vlvpn::service
