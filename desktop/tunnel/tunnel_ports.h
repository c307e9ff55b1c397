// What the tunnel's sessions work with: the process-wide state and every
// port, owned through shared pointers so that each worker holds what it uses
// for as long as it runs. The composition root wires the real ones; tests
// their fakes.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "desktop/host/worker.h"
#include "desktop/killswitch/killswitch_controller.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/elevated_launcher.h"
#include "desktop/tunnel/management_connection.h"
#include "desktop/tunnel/management_access.h"
#include "desktop/tunnel/management_monitor.h"
#include "desktop/tunnel/network_probe.h"
#include "desktop/tunnel/profile_store.h"
#include "desktop/tunnel/traffic_sampler.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

struct TunnelPorts {
  std::shared_ptr<TunnelState> tunnel;
  std::shared_ptr<const ProfileStore> profiles;
  std::shared_ptr<killswitch::ServiceClient> service;
  std::shared_ptr<killswitch::KillSwitchController> killSwitch;
  std::shared_ptr<ManagementPort> management;
  std::shared_ptr<ManagementMonitor> monitor;
  std::shared_ptr<AdapterQuery> adapters;
  std::shared_ptr<NetworkProbe> network;
  std::shared_ptr<ElevatedLauncher> elevated;
  std::shared_ptr<TrafficSampler> sampler;
  std::function<std::filesystem::path()> locateOpenVpn;
  std::function<std::filesystem::path()> dataFolder;  // the per-user data folder, asked afresh each time
  std::function<std::optional<uint32_t>()> findOpenVpnProcess;
  std::function<std::shared_ptr<TunnelProcess>(uint32_t pid)> openProcess;
  // Whether the management port's listener is process `pid`'s: only then is
  // what answers there taken for that OpenVPN.
  std::function<bool(uint32_t pid)> managementListenerIs = [](uint32_t pid) { return managementListenerBelongsTo(pid); };
  std::function<uint64_t()> tickMs;
  std::function<void(std::chrono::milliseconds)> sleep;
  host::ThreadStarter startThread = host::startDetachedThread;
};

}  // namespace vlvpn::tunnel
