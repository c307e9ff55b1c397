#include "service/stop_signal_win32.h"

namespace vlvpn::service {

StopSignal::StopSignal() : native_(std::make_unique<Native>()) {
  native_->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

StopSignal::~StopSignal() = default;

void StopSignal::signal() { SetEvent(native_->event.get()); }

bool StopSignal::wait(std::chrono::milliseconds timeout) {
  return WaitForSingleObject(native_->event.get(), static_cast<DWORD>(timeout.count())) == WAIT_OBJECT_0;
}

}  // namespace vlvpn::service
