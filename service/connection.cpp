#include "service/connection.h"

#include "service/request_text.h"

namespace vlvpn::service {

bool isRequestComplete(std::string_view received) {
  return received.find('\n') != std::string_view::npos || received.size() > kMaxRequestBytes;
}

std::string answerRequest(Dispatcher& dispatcher, ServiceLog& log, std::string_view request) {
  const std::string reply = dispatcher.dispatch(request);
  log.write(requestForLog(request) + " -> " + reply);
  return reply + "\n";
}

bool ConnectionSlots::acquire(StopSignal& stop) {
  std::unique_lock lock(mutex_);
  while (free_ == 0) {
    // Wake now and then to look at the stop signal, which is not a condition variable.
    freed_.wait_for(lock, std::chrono::milliseconds(100));
    if (free_ == 0 && stop.wait(std::chrono::milliseconds(0))) return false;
  }
  --free_;
  return true;
}

void ConnectionSlots::release() {
  std::lock_guard lock(mutex_);
  ++free_;
  freed_.notify_one();
}

}  // namespace vlvpn::service
