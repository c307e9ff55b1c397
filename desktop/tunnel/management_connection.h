// The TCP connection to OpenVPN's management interface on 127.0.0.1:11940.
// A connection is shared: the monitor reads from it while the session
// controller sends "signal SIGTERM" on it from another thread. The socket is
// closed when the last holder lets go of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vlvpn::tunnel {

// Fixed for the whole system: OpenVPN is always started with
// "--management 127.0.0.1 11940".
inline constexpr uint16_t kManagementPort = 11940;

enum class Readiness { Readable, TimedOut, Failed };

class ManagementConnection {
 public:
  virtual ~ManagementConnection() = default;
  // One send of all the bytes; its outcome is not reported.
  virtual void send(std::string_view bytes) = 0;
  virtual Readiness waitReadable(std::chrono::milliseconds timeout) = 0;
  // Up to `maxBytes`; empty when OpenVPN closed the connection or the
  // receive failed.
  virtual std::string receive(size_t maxBytes) = 0;
};

class ManagementPort {
 public:
  virtual ~ManagementPort() = default;
  // One blocking connect, no retry; null when nothing accepts.
  virtual std::shared_ptr<ManagementConnection> connect() = 0;

  // `port` is kManagementPort in the program; tests of the real sockets pass
  // one of their own.
  static std::shared_ptr<ManagementPort> create(uint16_t port = kManagementPort);  // per platform
};

}  // namespace vlvpn::tunnel
