// The one thread that watches OpenVPN while a tunnel runs: it keeps the
// session's state in step with OpenVPN's reports, asks for the state now and
// then while connecting, and notices when OpenVPN goes away.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "desktop/killswitch/killswitch_controller.h"
#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/management_connection.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

inline constexpr const char* kConnectionClosed = "Connection closed";
inline constexpr size_t kMonitorReceiveBytes = 8191;

struct MonitorPorts {
  std::shared_ptr<TunnelState> tunnel;
  std::shared_ptr<killswitch::KillSwitchController> killSwitch;  // every filter request goes through it
  std::shared_ptr<AdapterQuery> adapters;
  std::function<uint64_t()> tickMs;
  // How long one wait for OpenVPN's bytes lasts, and how often "state" is
  // asked for while connecting; tests shorten the first.
  std::chrono::milliseconds wait{1000};
  uint64_t statePollMs = 5000;
  // Starts the monitor's thread; throws std::system_error when it cannot.
  std::function<std::thread(std::function<void()>)> startThread = [](std::function<void()> body) {
    return std::thread(std::move(body));
  };
};

// Applies one received line to the session: a state report sets the state;
// an entry into "connected" clears the message, puts the IPv6 block up when
// it is on, and, when the tunnel brought DNS of its own, takes the outside
// DNS exception out of the kill switch; leaving "connected" puts it back.
// The service is asked after the lock is released.
void handleManagementLine(const MonitorPorts& ports, std::string_view line);

class ManagementMonitor {
 public:
  explicit ManagementMonitor(MonitorPorts ports);
  ~ManagementMonitor();  // stops and joins the thread
  ManagementMonitor(const ManagementMonitor&) = delete;
  ManagementMonitor& operator=(const ManagementMonitor&) = delete;

  // Stops and joins an earlier thread, then watches `connection`, which the
  // monitor now holds. False when no thread could be started.
  bool startMonitor(std::shared_ptr<ManagementConnection> connection);
  // Clears the flag and joins the thread: done within about one wait.
  // Never called from the monitor's own thread.
  void stopMonitor();
  // True from startMonitor until the thread leaves its loop.
  bool monitorRunning() const { return running_->load(); }

 private:
  void joinLocked();

  std::shared_ptr<const MonitorPorts> ports_;
  std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
  std::mutex monitorThreadLock_;  // never taken while sessionMutex is held
  std::thread thread_;
};

}  // namespace vlvpn::tunnel
