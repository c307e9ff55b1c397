// Everything the program knows about its one tunnel: a process-wide record
// guarded by sessionMutex, beside a few atomics read without the lock.
//
// Lock order: sessionMutex is held only for short copies and updates, never
// while the service is asked something, OpenVPN is launched or a name is
// resolved. The monitor's thread lock is never taken while it is held, and the
// traffic sampler's lock only after it is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

namespace vlvpn::tunnel {

inline constexpr const char* kStateConnecting = "connecting";
inline constexpr const char* kStateConnected = "connected";
inline constexpr const char* kStateDisconnected = "disconnected";

struct ServerEndpoint {
  std::string proto;      // the profile's "proto", possibly empty
  int32_t port = 0;       // from the profile's "remote" line
  std::string addresses;  // comma-separated IPv4 addresses of the server host
  friend bool operator==(const ServerEndpoint&, const ServerEndpoint&) = default;
};

// An OpenVPN process the program holds (synchronise and limited-query access
// on Windows); closed when released.
class TunnelProcess {
 public:
  virtual ~TunnelProcess() = default;
  virtual uint32_t pid() const = 0;
  virtual bool hasEnded() = 0;
};

struct TunnelSession {
  std::string state = kStateDisconnected;
  std::string message;    // the last failure sentence; cleared on connected and disconnect
  std::string profileId;
  std::filesystem::path logPath;
  std::unique_ptr<TunnelProcess> processHandle;
  intptr_t managementSocket = -1;  // handed to the monitor, which closes it
  ServerEndpoint endpoint;         // kept across a disconnect
};

// The record and its lock, for the life of the process.
TunnelSession& tunnelSession();
std::mutex& sessionMutex();

extern std::atomic<uint64_t> connectGeneration;
extern std::atomic<int> connectWorkersActive;
extern std::atomic<bool> launchedViaService;
extern std::atomic<bool> sessionOwned;
extern std::atomic<bool> recoveryTried;

// A copy of the connection state, taken under the lock.
std::string currentState();
ServerEndpoint currentEndpoint();

}  // namespace vlvpn::tunnel
