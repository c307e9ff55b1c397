// VLVPNTunnel: the one door between the user interface and the tunnel side
// of the program. Its method table, events and initializer.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "desktop/host/module.h"
#include "desktop/killswitch/killswitch_controller.h"
#include "desktop/host/worker.h"
#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/network_probe.h"
#include "desktop/tunnel/profile_store.h"
#include "desktop/tunnel/traffic_sampler.h"

namespace vlvpn::tunnel {

inline constexpr const char* kTunnelModuleName = "VLVPNTunnel";

// What the module's methods work with; the composition root wires the real
// ones, tests their own.
struct TunnelModuleDeps {
  std::shared_ptr<const ProfileStore> profiles = nullptr;
  std::function<std::optional<std::filesystem::path>()> chooseProfileFile = nullptr;
  std::shared_ptr<killswitch::KillSwitchController> killSwitch = nullptr;
  std::shared_ptr<AdapterQuery> adapters = nullptr;
  std::shared_ptr<NetworkProbe> network = nullptr;
  std::function<uint64_t()> tickMs = tunnel::tickMs;
  std::function<std::filesystem::path()> locateOpenVpn = nullptr;
  host::ThreadStarter startThread = host::startDetachedThread;
};

// The 37 methods in registration order, the six events in declaration order,
// and Initialize, which binds the process-wide event hooks to this instance.
host::ModuleTable makeTunnelModule(TunnelModuleDeps deps);

}  // namespace vlvpn::tunnel
