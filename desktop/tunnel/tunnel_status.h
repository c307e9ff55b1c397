// What the interface learns by asking: getStatus (state, message, profile,
// process and traffic figures) and getHelperInfo, and the adoption of a
// tunnel an earlier run left running, tried once, on the first getStatus.
#pragma once

#include <nlohmann/json.hpp>

#include "desktop/tunnel/tunnel_ports.h"

namespace vlvpn::tunnel {

inline constexpr std::chrono::milliseconds kRecoveryRequery{350};

// Key-sorted; every number but "pid" is a floating-point JSON number. Runs
// the recovery on the process's first call. Never fails.
nlohmann::json getStatus(const TunnelPorts& ports);

// "machService", "plist", "profilesDir", "installed", "reachable".
nlohmann::json getHelperInfo(const TunnelPorts& ports);

// Adopts an OpenVPN answering on the management port into the session when
// the program holds no tunnel and no connect is under way; true when it did.
// Its process is the one the service reports running, else the first
// OpenVPN process found by name.
bool recoverRunningTunnel(const TunnelPorts& ports);

}  // namespace vlvpn::tunnel
