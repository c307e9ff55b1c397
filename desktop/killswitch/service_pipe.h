// The transport to the kill-switch service: Windows' named pipe
// \\.\pipe\VLVPNKillSwitch, or on Linux the service's Unix socket
// ($VLVPN_KILLSWITCH_SOCKET, default /run/VLVPNKillSwitch.sock).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "common/result.h"

namespace vlvpn::killswitch {

class PipeConnection {
 public:
  virtual ~PipeConnection() = default;
  // False unless every byte went out within `timeout` per write.
  virtual bool writeAll(std::string_view bytes, std::chrono::milliseconds timeout) = 0;
  // One read of at most `maxBytes`; "" on failure or time-out.
  virtual std::string readOnce(size_t maxBytes, std::chrono::milliseconds timeout) = 0;
};

enum class OpenFailure { Busy, NotFound, Other };

class ServicePipe {
 public:
  virtual ~ServicePipe() = default;
  virtual Result<std::unique_ptr<PipeConnection>, OpenFailure> open() = 0;
  // Waits up to `limit` for a busy service to have a free instance.
  virtual void waitWhileBusy(std::chrono::milliseconds limit) = 0;

  static std::unique_ptr<ServicePipe> create();  // per platform
};

// Registering the service is the installer's business; the program only asks
// whether it is there and starts it. Windows: the Service Control Manager.
// Linux: systemd's unit VLVPNKillSwitch.service.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual bool isInstalled() = 0;
  // True when started or already running; does not wait for it to answer.
  virtual bool start() = 0;

  static std::unique_ptr<ServiceManager> create();  // per platform
};

}  // namespace vlvpn::killswitch
