#include "desktop/tunnel/tunnel_status.h"

#include <charconv>

#include "common/path_bytes.h"
#include "desktop/tunnel/failure_classifier.h"
#include "desktop/tunnel/management_protocol.h"
#include "desktop/tunnel/session_controller.h"

namespace vlvpn::tunnel {
namespace {

using nlohmann::json;

// "OK RUNNING <pid>": the number after the last space.
std::optional<uint32_t> pidFromStatus(const std::string& status) {
  const std::string text = status.substr(status.rfind(' ') + 1);
  uint32_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid == 0) return std::nullopt;
  return pid;
}

void addTrafficFigures(const TunnelPorts& ports, bool connected, json& status) {
  if (!connected) {
    ports.sampler->reset();
    status["downBps"] = 0.0;
    status["upBps"] = 0.0;
    status["adapterUp"] = false;
    return;
  }
  // One look at the adapters and one at the tunnel's counters serve the
  // rates and the figures beside them: each look walks every interface.
  const auto adapters = ports.adapters->adapters();
  const auto luid = findUpTapAdapter(adapters);
  const auto counters = luid ? ports.adapters->counters(*luid) : std::nullopt;
  const TrafficRates rates = sampleTrafficRates(luid, counters, *ports.sampler, counters ? ports.tickMs() : 0);
  status["downBps"] = wholeBytesPerSecond(rates.downBps);
  status["upBps"] = wholeBytesPerSecond(rates.upBps);
  status["adapterUp"] = luid.has_value();
  if (counters) {
    status["rxBytes"] = static_cast<double>(counters->inOctets);
    status["txBytes"] = static_cast<double>(counters->outOctets);
  }
  status["physicalLinkUp"] = isPhysicalLinkUp(ports.adapters->ipv4Adapters());
}

}  // namespace

json getStatus(const TunnelPorts& ports) {
  if (!ports.tunnel->recoveryTried.exchange(true)) recoverRunningTunnel(ports);

  std::string state, message, profileId;
  std::filesystem::path logPath;
  std::shared_ptr<TunnelProcess> process;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    const auto& session = ports.tunnel->session;
    state = session.state;
    message = session.message;
    profileId = session.profileId;
    logPath = session.logPath;
    process = session.processHandle;
  }
  std::optional<uint32_t> pid;
  if (process) {
    if (process->hasEnded()) {
      // The answer only: the monitor or a disconnect updates the record.
      if (isActiveState(state)) state = kStateDisconnected;
      if (message.empty() && !logPath.empty()) message = classifyFailure(logPath);
    } else {
      pid = process->pid();
    }
  }

  json status = json::object();
  status["state"] = state.empty() ? kStateDisconnected : state;
  if (!message.empty()) status["message"] = message;
  if (!profileId.empty()) status["profileId"] = profileId;
  if (pid) status["pid"] = *pid;
  if (const auto active = ports.killSwitch->killSwitchActive()) status["killSwitchActive"] = *active;
  addTrafficFigures(ports, status["state"] == kStateConnected, status);
  return status;
}

json getHelperInfo(const TunnelPorts& ports) {
  const auto openVpn = ports.locateOpenVpn();
  const auto folder = ports.profiles->profilesFolder();
  bool reachable;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    reachable = ports.tunnel->session.managementSocket != nullptr;
  }
  return {{"machService", "openvpn.exe"},
          {"plist", openVpn.empty() ? std::string() : bytesFromPath(openVpn)},
          {"profilesDir", bytesFromPath(folder ? folder.value() : ports.dataFolder() / "profiles")},
          {"installed", !openVpn.empty()},
          {"reachable", reachable}};
}

bool recoverRunningTunnel(const TunnelPorts& ports) {
  if (ports.tunnel->connectWorkersActive > 0) return false;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    const auto& session = ports.tunnel->session;
    if (session.managementSocket || isActiveState(session.state)) return false;
  }
  if (ports.monitor->monitorRunning()) return false;
  auto connection = ports.management->connect();
  if (!connection) return false;

  std::string state = queryState(*connection);
  if (state == kStateConnecting) {
    ports.sleep(kRecoveryRequery);
    if (std::string again = queryState(*connection); !again.empty()) state = std::move(again);
  }
  // The service names the OpenVPN it runs; only without it is the process
  // looked for by name, which could also find another program's OpenVPN.
  const std::string status = ports.service->transact("OPENVPN_STATUS");
  const bool serviceRunsIt = killswitch::serviceStatusSays(status, "RUNNING");
  auto pid = serviceRunsIt ? pidFromStatus(status) : std::nullopt;
  if (!pid) pid = ports.findOpenVpnProcess();
  // A listener that is not that OpenVPN's (another user's program on the
  // port, answering as OpenVPN would) is no tunnel of ours.
  if (!pid || !ports.managementListenerIs(*pid)) return false;
  std::shared_ptr<TunnelProcess> process = pid ? ports.openProcess(*pid) : nullptr;
  const std::string profileId = readActiveProfile(ports);
  const ServerEndpoint endpoint = ports.killSwitch->loadServerEndpoint();
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    session.managementSocket = connection;
    session.state = state;
    session.profileId = profileId;
    session.endpoint = endpoint;
    session.processHandle = std::move(process);
  }
  if (serviceRunsIt) ports.tunnel->launchedViaService = true;
  ports.tunnel->sessionOwned = true;
  if (!ports.monitor->startMonitor(connection)) {
    // Unwatched, the state would never move: leave the tunnel to a later connect.
    ports.tunnel->sessionOwned = false;
    ports.tunnel->launchedViaService = false;
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    session.managementSocket.reset();
    session.processHandle.reset();
    session.state = kStateDisconnected;
    return false;
  }
  if (ports.killSwitch->blockIpv6Enabled && isActiveState(state)) ports.killSwitch->setIpv6Block(true);
  return true;
}

}  // namespace vlvpn::tunnel
