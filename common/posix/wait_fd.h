// Waiting for a descriptor to become ready, with a time-out.
#pragma once

#include <poll.h>

#include <cerrno>
#include <chrono>

namespace vlvpn {

// True when `events` are ready on `fd` within `timeout`; an interrupted wait
// starts again.
inline bool waitForFd(int fd, short events, std::chrono::milliseconds timeout) {
  pollfd entry{fd, events, 0};
  for (;;) {
    const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace vlvpn
