#pragma once

#include "common/posix/unique_fd.h"
#include "service/stop_signal.h"

namespace vlvpn::service {

// A pipe: writing one byte is async-signal-safe, and the read end polls as
// readable from then on, because nothing ever reads it.
struct StopSignal::Native {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

}  // namespace vlvpn::service
