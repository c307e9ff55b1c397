#include "service/connection.h"

#include <algorithm>

#include "service/request_text.h"

namespace vlvpn::service {

bool isRequestComplete(std::string_view received) {
  return received.find('\n') != std::string_view::npos || received.size() > kMaxRequestBytes;
}

std::chrono::milliseconds timeLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

std::string answerRequest(Dispatcher& dispatcher, ServiceLog& log, std::string_view request,
                          const Requester& requester) {
  std::string reply;
  try {
    reply = dispatcher.dispatch(request, requester);
  } catch (const std::exception& e) {
    reply = "ERR internal";
    log.write(requestForLog(request) + " failed: " + e.what());
    return reply + "\n";
  } catch (...) {
    reply = "ERR internal";
    log.write(requestForLog(request) + " failed");
    return reply + "\n";
  }
  log.write(requestForLog(request) + " -> " + reply);
  return reply + "\n";
}

}  // namespace vlvpn::service
