#include "service/stop_signal_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace vlvpn::service {

StopSignal::StopSignal() : native_(std::make_unique<Native>()) {
  int ends[2] = {-1, -1};
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
    native_->readEnd.reset(ends[0]);
    native_->writeEnd.reset(ends[1]);
  }
}

StopSignal::~StopSignal() = default;

void StopSignal::signal() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(native_->writeEnd.get(), &byte, 1);
}

bool StopSignal::wait(std::chrono::milliseconds timeout) {
  pollfd entry{native_->readEnd.get(), POLLIN, 0};
  return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace vlvpn::service
