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

std::string clientForLog(const Requester& requester) {
  return (requester.name.empty() ? std::string("unknown client") : escapeControlBytes(requester.name)) + ": ";
}

std::string answerRequest(Dispatcher& dispatcher, ServiceLog& log, std::string_view request,
                          const Requester& requester) {
  const std::string asked = clientForLog(requester) + requestForLog(request);
  std::string reply;
  try {
    reply = dispatcher.dispatch(request, requester);
  } catch (const std::exception& e) {
    reply = "ERR internal";
    log.write(asked + " failed: " + e.what());
    return reply + "\n";
  } catch (...) {
    reply = "ERR internal";
    log.write(asked + " failed");
    return reply + "\n";
  }
  log.write(asked + " -> " + reply);
  return reply + "\n";
}

std::string busyReply(ServiceLog& log, std::string_view request, const Requester& requester) {
  log.write(clientForLog(requester) + requestForLog(request) + " -> ERR busy");
  return "ERR busy\n";
}

}  // namespace vlvpn::service
