// The TCP listener of one loopback sign-in, on 127.0.0.1 only. Windows
// binds it exclusively (SO_EXCLUSIVEADDRUSE), so no other program can bind
// the same port and be sent the user's authorization code; Linux uses
// SO_REUSEADDR, which does not allow that there.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vlvpn::auth {

class LoopbackConnection {
 public:
  virtual ~LoopbackConnection() = default;
  // One receive of at most `maxBytes`; empty on end of input, failure or
  // time-out.
  virtual std::string receiveOnce(size_t maxBytes, std::chrono::milliseconds timeout) = 0;
  // One send; its result does not matter to the caller.
  virtual void send(std::string_view bytes) = 0;
};

class LoopbackListener {
 public:
  enum class Wait { Ready, TimedOut, Failed };

  virtual ~LoopbackListener() = default;
  virtual uint16_t port() const = 0;
  // Waits for a connection to accept; Failed once cancelled.
  virtual Wait waitForConnection(std::chrono::milliseconds timeout) = 0;
  virtual std::unique_ptr<LoopbackConnection> accept() = 0;
  // Ends a wait in progress and every later one; the socket closes with
  // the last owner. Any thread, any number of times.
  virtual void cancel() = 0;

  // Listens on 127.0.0.1:`port` with a backlog of 1 (0: a port the system
  // chooses). Fails with "Could not create OAuth loopback socket", "Could not
  // bind OAuth loopback socket", "Could not read OAuth loopback port" or
  // "Could not listen on OAuth loopback socket".
  static Result<std::shared_ptr<LoopbackListener>> listen(uint16_t port);  // per platform
};

// Opens `url` in the system browser: ShellExecuteW "open" on Windows,
// xdg-open on Linux (started without a shell, the address one argument).
bool openInBrowser(const std::string& url);  // per platform

}  // namespace vlvpn::auth
