// The service's end of the pipe: one listening endpoint, one detached thread
// per connection, one request and one reply per connection.
#pragma once

#include <memory>
#include <string>

#include "service/connection.h"

namespace vlvpn::service {

// Windows: \\.\pipe\VLVPNKillSwitch. Linux: $VLVPN_KILLSWITCH_SOCKET, else
// /run/VLVPNKillSwitch.sock. The variable (VLVPN_KILLSWITCH_PIPE on Windows)
// lets tests run services side by side.
std::string serviceEndpoint();

// Listens until the stop signal, then runs the shutdown steps (OpenVPN
// stopped, both filter sets removed) and returns true. Returns false when
// the endpoint is held by another running service.
bool runPipeServer(std::shared_ptr<ServerContext> context);

}  // namespace vlvpn::service
