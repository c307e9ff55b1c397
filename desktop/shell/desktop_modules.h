// The composition root of the desktop program: the native modules wired to
// the real implementations of every port.
#pragma once

#include <vector>

#include "desktop/host/module.h"
#include "desktop/tunnel/service_ports.h"
#include "desktop/tunnel/tunnel_ports.h"

namespace vlvpn::shell {

// The process's one tunnel record, which the window's status view reads too.
std::shared_ptr<tunnel::TunnelState> processTunnelState();

// The process's one tunnel state with the real ports around it.
tunnel::TunnelPorts makeTunnelPorts();

// Preferences, secrets, the device's model and the programs to close, each
// on the platform's real store.
tunnel::ServicePorts makeServicePorts();

// VLVPNTunnel, VLVPNBuildConfig and VLVPNAuthSession, in that order.
std::vector<host::ModuleTable> makeDesktopModules();

}  // namespace vlvpn::shell
