// A child the program started itself (the direct road, the TAP installer).
#pragma once

#include <sys/types.h>

#include <memory>

#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

// Owns the child `pid`: reaps it exactly once, under the owner's lock, when
// it is seen to have ended.
std::shared_ptr<TunnelProcess> adoptChildProcess(pid_t pid);

}  // namespace vlvpn::tunnel
