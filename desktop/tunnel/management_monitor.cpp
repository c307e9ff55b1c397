#include "desktop/tunnel/management_monitor.h"

#include <system_error>

#include "desktop/tunnel/failure_classifier.h"
#include "desktop/tunnel/management_protocol.h"
#include "desktop/tunnel/pushed_dns.h"

namespace vlvpn::tunnel {
namespace {

// OpenVPN closed the connection. Unless the session already counts as
// disconnected (an EXITING report, a user's disconnect), say why and fence
// the machine again.
void onConnectionClosed(const MonitorPorts& ports) {
  bool changed = false;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    if (session.state != kStateDisconnected) {
      session.state = kStateDisconnected;
      const std::string classified = classifyFailure(session.logPath);
      session.message = classified.empty() ? kConnectionClosed : classified;
      changed = true;
    }
  }
  if (!changed) return;
  ports.killSwitch->setIpv6Block(false);
  if (ports.killSwitch->killSwitchEnabled && ports.tunnel->sessionOwned) ports.killSwitch->applyKillSwitch(true);
}

void pollStateWhileConnecting(const MonitorPorts& ports, ManagementConnection& connection, uint64_t& lastPollMs) {
  if (ports.tunnel->currentState() != kStateConnecting) return;
  const uint64_t now = ports.tickMs();
  if (now < lastPollMs + ports.statePollMs) return;
  if (!findUpTapAdapter(ports.adapters->adapters())) return;
  lastPollMs = now;
  sendManagementCommand(&connection, "state");
}

void runMonitor(const MonitorPorts& ports, const std::atomic<bool>& running,
                const std::shared_ptr<ManagementConnection>& connection) {
  sendManagementCommand(connection.get(), "state on all");
  uint64_t lastPollMs = ports.tickMs();
  LineBuffer lines;
  while (running) {
    const Readiness ready = connection->waitReadable(ports.wait);
    if (ready == Readiness::Failed) break;
    if (ready == Readiness::Readable) {
      const std::string bytes = connection->receive(kMonitorReceiveBytes);
      if (bytes.empty()) {
        onConnectionClosed(ports);
        break;
      }
      for (const auto& line : lines.append(bytes)) handleManagementLine(ports, line);
    } else {
      pollStateWhileConnecting(ports, *connection, lastPollMs);
    }
  }
  std::lock_guard lock(ports.tunnel->sessionMutex);
  if (ports.tunnel->session.managementSocket == connection) ports.tunnel->session.managementSocket.reset();
}

}  // namespace

void handleManagementLine(const MonitorPorts& ports, std::string_view line) {
  const auto state = parseStateLine(line);
  if (!state) return;
  bool enteredConnected = false, leftConnected = false;
  std::filesystem::path logPath;
  {
    std::lock_guard lock(ports.tunnel->sessionMutex);
    auto& session = ports.tunnel->session;
    enteredConnected = *state == kStateConnected && session.state != kStateConnected;
    leftConnected = *state != kStateConnected && session.state == kStateConnected;
    session.state = *state;
    if (*state == kStateConnected) session.message.clear();
    if (leftConnected) session.carriesDns = false;
    logPath = session.logPath;
  }
  const bool fenced = ports.killSwitch->killSwitchEnabled && ports.tunnel->sessionOwned;
  if (enteredConnected) {
    if (ports.killSwitch->blockIpv6Enabled) ports.killSwitch->setIpv6Block(true);
    // A tunnel with DNS servers of its own needs no DNS outside it, and
    // queries sent there would tell the local network every name looked up.
    if (!logPath.empty() && tunnelCarriesDns(logPath)) {
      {
        std::lock_guard lock(ports.tunnel->sessionMutex);
        ports.tunnel->session.carriesDns = true;
      }
      if (fenced) ports.killSwitch->applyKillSwitchForTunnel();
    }
  } else if (leftConnected && fenced) {
    // Reconnecting: OpenVPN may have to resolve its server again.
    ports.killSwitch->applyKillSwitchForTunnel();
  }
}

ManagementMonitor::ManagementMonitor(MonitorPorts ports)
    : ports_(std::make_shared<const MonitorPorts>(std::move(ports))) {}

ManagementMonitor::~ManagementMonitor() { stopMonitor(); }

bool ManagementMonitor::startMonitor(std::shared_ptr<ManagementConnection> connection) {
  std::lock_guard lock(monitorThreadLock_);
  running_->store(false);
  joinLocked();
  running_->store(true);
  // The thread holds what it uses, never the monitor itself, so the last
  // owner of the monitor is never its own thread.
  try {
    thread_ = ports_->startThread([ports = ports_, running = running_, connection = std::move(connection)] {
      runMonitor(*ports, *running, connection);
      running->store(false);
    });
  } catch (const std::system_error&) {
    running_->store(false);
    return false;
  }
  return true;
}

void ManagementMonitor::stopMonitor() {
  std::lock_guard lock(monitorThreadLock_);
  running_->store(false);
  joinLocked();
}

void ManagementMonitor::joinLocked() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace vlvpn::tunnel
