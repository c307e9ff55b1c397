// How the service process runs: under the system's service manager, or in the
// foreground ("console"). Either way `run` does the work and returns once the
// stop signal has been handled.
#pragma once

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

}  // namespace vlvpn::service
