// The OpenVPN process the program works with: opened by its number (from the
// service's reply, or found by name when a running tunnel is adopted).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

// Null when no such process exists or it cannot be opened (Windows:
// synchronise and limited-query access).
std::shared_ptr<TunnelProcess> openTunnelProcess(uint32_t pid);

// The number of the first running process whose executable is OpenVPN
// ("openvpn.exe" ignoring case on Windows, "openvpn" on Linux); nullopt when
// there is none or the process list cannot be read.
std::optional<uint32_t> findOpenVpnProcess();

}  // namespace vlvpn::tunnel
