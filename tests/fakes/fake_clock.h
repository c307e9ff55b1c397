// Time as the test keeps it: sleeping records the duration and moves the
// clock on at once, so waits of seconds take none.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace vlvpn::test {

class FakeClock {
 public:
  uint64_t tickMs() const { return nowMs_; }
  void advance(std::chrono::milliseconds by) { nowMs_ += static_cast<uint64_t>(by.count()); }
  void sleep(std::chrono::milliseconds duration) {
    {
      std::lock_guard lock(mutex_);
      sleeps_.push_back(duration);
    }
    advance(duration);
  }
  std::vector<std::chrono::milliseconds> takeSleeps() {
    std::lock_guard lock(mutex_);
    return std::exchange(sleeps_, {});
  }

 private:
  std::atomic<uint64_t> nowMs_{1'000'000};
  std::mutex mutex_;
  std::vector<std::chrono::milliseconds> sleeps_;
};

}  // namespace vlvpn::test
