#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::tunnel {

// Never destroyed: detached workers may still use them while the process ends.
TunnelSession& tunnelSession() {
  static auto* session = new TunnelSession;
  return *session;
}

std::mutex& sessionMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::atomic<uint64_t> connectGeneration{0};
std::atomic<int> connectWorkersActive{0};
std::atomic<bool> launchedViaService{false};
std::atomic<bool> sessionOwned{false};
std::atomic<bool> recoveryTried{false};

std::string currentState() {
  std::lock_guard lock(sessionMutex());
  return tunnelSession().state;
}

ServerEndpoint currentEndpoint() {
  std::lock_guard lock(sessionMutex());
  return tunnelSession().endpoint;
}

}  // namespace vlvpn::tunnel
