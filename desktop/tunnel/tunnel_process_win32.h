// A process handle the shell gave back (the direct road, the TAP installer).
#pragma once

#include <windows.h>

#include <memory>

#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

// Takes ownership of `process`, which must allow synchronise access.
std::shared_ptr<TunnelProcess> adoptProcessHandle(HANDLE process);

}  // namespace vlvpn::tunnel
