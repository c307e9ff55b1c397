#include "tests/support/tunnel_rig.h"

#include <fstream>
#include <iterator>
#include <thread>

namespace vlvpn::test {

TunnelRig::TunnelRig() {
  ports.tunnel = std::make_shared<tunnel::TunnelState>();
  ports.profiles = std::make_shared<tunnel::ProfileStore>([this] { return base.path(); });
  ports.dataFolder = [this] { return dataFolder(); };
  // Only the fake OpenVPN's current process can be opened.
  const auto openProcess = [this](uint32_t pid) -> std::shared_ptr<tunnel::TunnelProcess> {
    auto process = openVpn.currentProcess();
    return process->pid() == pid ? process : nullptr;
  };
  ports.service = std::make_shared<killswitch::ServiceClient>(
      std::make_unique<FakeKillSwitchPipe>(service), std::make_unique<FakeKillSwitchManager>(service));
  const auto client = ports.service;
  const auto transact = [client](std::string_view request) { return client->transact(request); };
  ports.killSwitch = std::make_shared<killswitch::KillSwitchController>(transact, ports.dataFolder,
                                                                       "/opt/Velmora VPN/VLVPNDesk",
                                                                       tunnel::killSwitchView(ports.tunnel));
  ports.adapters = adapters;
  ports.management = std::make_shared<FakeManagementPort>(openVpn);
  ports.monitor = std::make_shared<tunnel::ManagementMonitor>(tunnel::MonitorPorts{
      .tunnel = ports.tunnel,
      .killSwitch = ports.killSwitch,
      .adapters = adapters,
      .tickMs = [this] { return clock.tickMs(); },
      .wait = std::chrono::milliseconds(5),
  });
  ports.network = network;
  ports.elevated = elevated;
  ports.sampler = std::make_shared<tunnel::TrafficSampler>();
  ports.locateOpenVpn = [this] { return openVpnPath; };
  ports.findOpenVpnProcess = [this] { return runningOpenVpnPid; };
  ports.openProcess = openProcess;
  ports.managementListenerIs = [this](uint32_t pid) { return listenerOwner ? *listenerOwner == pid : true; };
  ports.tickMs = [this] { return clock.tickMs(); };
  ports.sleep = [this](std::chrono::milliseconds d) { clock.sleep(d); };
  ports.startThread = [](std::function<void()> task) { task(); };
  // A direct start behaves like the service's: the fake OpenVPN runs.
  elevated->onStart = [this](const std::filesystem::path&) -> std::shared_ptr<tunnel::TunnelProcess> {
    openVpn.start(service.openVpnAttemptsBeforeListening);
    return openVpn.currentProcess();
  };
}

TunnelRig::~TunnelRig() { ports.monitor->stopMonitor(); }

std::filesystem::path TunnelRig::saveProfile(const std::string& id, const std::string& content) {
  auto saved = ports.profiles->saveConfig(id, content, id + ".ovpn");
  return std::filesystem::path(saved.value().configPath).parent_path();
}

std::string TunnelRig::dataFile(const std::string& name) const {
  std::ifstream in(dataFolder() / name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

tunnel::TunnelSession TunnelRig::sessionCopy() {
  std::lock_guard lock(ports.tunnel->sessionMutex);
  return ports.tunnel->session;
}

bool TunnelRig::waitForState(const std::string& state) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (ports.tunnel->currentState() == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace vlvpn::test
