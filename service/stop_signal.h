// The service's stop event: signalled once (by the service control handler,
// or by SIGTERM/SIGINT on Linux), waited for by the listening loop.
#pragma once

#include <chrono>
#include <memory>

namespace vlvpn::service {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Safe to call from a signal handler (Linux) or the control handler (Windows).
  void signal();
  // True once signalled; waits up to `timeout` for it.
  bool wait(std::chrono::milliseconds timeout);

  // The descriptor (Linux) or event handle (Windows) to wait on beside others.
  struct Native;
  Native& native() { return *native_; }

 private:
  std::unique_ptr<Native> native_;
};

}  // namespace vlvpn::service
