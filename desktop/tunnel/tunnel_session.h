// Everything the program knows about its one tunnel: the record TunnelSession
// guarded by sessionMutex, beside a few atomics read without the lock. One
// TunnelState exists per process, made by the composition root and shared by
// every part that touches the tunnel; tests make their own.
//
// Lock order: sessionMutex is held only for short copies and updates (and the
// two waits the session controller documents), never while the service is
// asked something, OpenVPN is launched or a name is resolved. The monitor's
// thread lock is never taken while it is held, and the traffic sampler's lock
// only after it is released.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "desktop/killswitch/killswitch_controller.h"
#include "desktop/killswitch/server_endpoint.h"

namespace vlvpn::tunnel {

inline constexpr const char* kStateConnecting = "connecting";
inline constexpr const char* kStateConnected = "connected";
inline constexpr const char* kStateDisconnected = "disconnected";

using killswitch::ServerEndpoint;

// An OpenVPN process the program holds (Windows: a handle with synchronise
// and limited-query access). Shared: a disconnect may wait on its copy while
// a connect replaces the record. Every method may be called from any thread;
// the system's handle is released with the last copy.
class TunnelProcess {
 public:
  virtual ~TunnelProcess() = default;
  virtual uint32_t pid() const = 0;
  // True once the process has ended. A child of ours is reaped exactly once.
  virtual bool hasEnded() = 0;
  // Waits up to `timeout` for the end; true when it has ended.
  virtual bool waitForExit(std::chrono::milliseconds timeout) = 0;
};

class ManagementConnection;

struct TunnelSession {
  std::string state = kStateDisconnected;
  std::string message;  // the last failure sentence; cleared on connected and disconnect
  std::string profileId;
  std::filesystem::path logPath;
  std::shared_ptr<TunnelProcess> processHandle;
  // The connection the monitor watches. Whoever clears it drops the record's
  // reference; the socket closes when the last holder lets go, so a command
  // sent on a copy never reaches a reused descriptor.
  std::shared_ptr<ManagementConnection> managementSocket;
  ServerEndpoint endpoint;  // kept across a disconnect
  // The connected tunnel brought DNS servers of its own, so names need not
  // be resolved outside it; cleared when it leaves "connected".
  bool carriesDns = false;
};

struct TunnelState {
  std::mutex sessionMutex;
  TunnelSession session;  // every field only under sessionMutex

  std::atomic<uint64_t> connectGeneration{0};
  std::atomic<int> connectWorkersActive{0};
  std::atomic<bool> launchedViaService{false};
  std::atomic<bool> sessionOwned{false};
  std::atomic<bool> recoveryTried{false};

  // Copies taken under the lock.
  std::string currentState();
  ServerEndpoint currentEndpoint();
};

inline bool isActiveState(const std::string& state) {
  return state == kStateConnected || state == kStateConnecting;
}

// The state and endpoint of `state`, as the kill-switch controller asks for them.
killswitch::TunnelView killSwitchView(const std::shared_ptr<TunnelState>& state);

}  // namespace vlvpn::tunnel
