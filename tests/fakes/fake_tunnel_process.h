// A process whose end the test decides.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::test {

class FakeTunnelProcess : public tunnel::TunnelProcess {
 public:
  explicit FakeTunnelProcess(uint32_t pid) : pid_(pid) {}
  uint32_t pid() const override { return pid_; }
  bool hasEnded() override { return ended; }
  bool waitForExit(std::chrono::milliseconds timeout) override {
    std::lock_guard lock(mutex_);
    waits_.push_back(timeout);
    return ended;
  }
  std::vector<std::chrono::milliseconds> waits() {
    std::lock_guard lock(mutex_);
    return waits_;
  }

  std::atomic<bool> ended{false};

 private:
  const uint32_t pid_;
  std::mutex mutex_;
  std::vector<std::chrono::milliseconds> waits_;
};

}  // namespace vlvpn::test
