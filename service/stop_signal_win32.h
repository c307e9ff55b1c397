#pragma once

#include "common/win32/unique_handle.h"
#include "service/stop_signal.h"

namespace vlvpn::service {

// A manual-reset event, initially not signalled.
struct StopSignal::Native {
  UniqueHandle event;
};

}  // namespace vlvpn::service
