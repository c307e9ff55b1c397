#include "desktop/killswitch/service_client.h"

#include <charconv>

#include "common/text.h"

namespace vlvpn::killswitch {
namespace {

std::shared_ptr<ServiceClient>& clientSlot() {
  static auto* slot = new std::shared_ptr<ServiceClient>;
  return *slot;
}
std::mutex& clientSlotMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

uint32_t parsePid(std::string_view text) {
  uint32_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return error == std::errc() ? pid : 0;
}

}  // namespace

bool serviceAnswersPing(std::string_view reply) {
  return reply.size() >= 4 && reply.find("PONG") != std::string_view::npos;
}

bool serviceStatusSays(std::string_view status, std::string_view word) {
  return status.size() >= 7 && status.find(word) != std::string_view::npos;
}

ServiceClient::ServiceClient(std::unique_ptr<ServicePipe> pipe, std::unique_ptr<ServiceManager> manager, Clock clock)
    : pipe_(std::move(pipe)), manager_(std::move(manager)), clock_(std::move(clock)) {}

std::string ServiceClient::transact(std::string_view request) {
  std::lock_guard lock(transactLock_);
  return std::string(trimTrailing(exchange(request), "\n\r "));
}

std::string ServiceClient::exchange(std::string_view request) {
  const auto deadline = clock_.now() + kOpenDeadline;
  std::unique_ptr<PipeConnection> connection;
  for (;;) {
    auto opened = pipe_->open();
    if (opened) {
      connection = std::move(opened).value();
      break;
    }
    switch (opened.error()) {
      case OpenFailure::Busy:
        pipe_->waitWhileBusy(kBusyWait);
        break;
      case OpenFailure::NotFound:
      case OpenFailure::Other:
        return {};
    }
    if (clock_.now() >= deadline) return {};
  }
  if (!connection->writeAll(std::string(request) + "\n", kExchangeTimeout)) return {};
  return connection->readOnce(kMaxReplyBytes, kExchangeTimeout);
}

StartOutcome ServiceClient::startOpenVpnViaService(const std::string& exe, const std::string& args) {
  transact("OPENVPN_STOP");
  const std::string request = "OPENVPN_START\t" + exe + "\t" + args;
  std::string reply = transact(request);
  for (int round = 0; round < 3 && reply.empty(); ++round) {
    const std::string status = transact("OPENVPN_STATUS");
    if (serviceStatusSays(status, "RUNNING")) {
      const size_t space = status.rfind(' ');
      reply = space == std::string::npos ? "OK 0" : "OK " + status.substr(space + 1);
      break;
    }
    reply = transact(request);
  }

  StartOutcome outcome;
  if (reply.starts_with("OK ")) {
    outcome.kind = StartOutcome::Kind::Started;
    outcome.pid = parsePid(std::string_view(reply).substr(3));
  } else if (reply.empty()) {
    outcome.kind = StartOutcome::Kind::NoAnswer;
  } else {
    outcome.kind = StartOutcome::Kind::Refused;
    outcome.error = "Kill-switch service could not start OpenVPN (" + reply + ")";
  }
  return outcome;
}

void setServiceClient(std::shared_ptr<ServiceClient> client) {
  std::lock_guard lock(clientSlotMutex());
  clientSlot() = std::move(client);
}

std::shared_ptr<ServiceClient> serviceClient() {
  std::lock_guard lock(clientSlotMutex());
  return clientSlot();
}

}  // namespace vlvpn::killswitch
