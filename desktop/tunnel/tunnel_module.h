// VLVPNTunnel: the one door between the user interface and the tunnel side
// of the program. Its method table, events and initializer.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "desktop/host/module.h"
#include "desktop/tunnel/service_ports.h"
#include "desktop/tunnel/shell_ports.h"
#include "desktop/tunnel/tunnel_ports.h"

namespace vlvpn::tunnel {

inline constexpr const char* kTunnelModuleName = "VLVPNTunnel";

// What the module's methods work with; the composition root wires the real
// ones, tests their own.
struct TunnelModuleDeps {
  TunnelPorts ports;
  std::function<std::optional<std::filesystem::path>()> chooseProfileFile = nullptr;
  ShellPorts shell = {};
  ServicePorts services = {};
};

// The 37 methods in registration order, the six events in declaration order,
// and Initialize, which binds the process-wide event hooks to this instance.
host::ModuleTable makeTunnelModule(TunnelModuleDeps deps);

}  // namespace vlvpn::tunnel
