#include "tests/support/bridge_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

#include "common/path_bytes.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {

using nlohmann::json;

EnvironmentOverrides withOwnInstance(EnvironmentOverrides environment) {
  static const unsigned run = std::random_device{}();
  static std::atomic<int> counter{0};
  const bool named = std::any_of(environment.begin(), environment.end(),
                                 [](const auto& entry) { return entry.first == "VLVPN_DESK_INSTANCE"; });
  if (!named) {
    environment.emplace_back("VLVPN_DESK_INSTANCE",
                             "test-" + std::to_string(run) + "-" + std::to_string(++counter));
  }
  return environment;
}

BridgeClient::BridgeClient(const EnvironmentOverrides& given, const std::vector<std::string>& wrapper) {
  const auto program = builtProgram("VLVPNDesk");
  const EnvironmentOverrides environment = withOwnInstance(given);
  if (wrapper.empty()) {
    child_ = ChildProcess::start(program, {"--bridge"}, environment);
    return;
  }
  std::vector<std::string> args(wrapper.begin() + 1, wrapper.end());
  args.push_back(utf8FromPath(program));
  args.push_back("--bridge");
  child_ = ChildProcess::start(wrapper.front(), args, environment);
}

BridgeClient::BridgeClient(const std::filesystem::path& program, const EnvironmentOverrides& environment)
    : child_(ChildProcess::start(program, {"--bridge"}, withOwnInstance(environment))) {}

int BridgeClient::send(const std::string& method, json args, const std::string& module) {
  const int id = ++lastId_;
  child_->writeLine(json{{"id", id}, {"module", module}, {"method", method}, {"args", std::move(args)}}.dump());
  return id;
}

json BridgeClient::call(const std::string& method, json args, std::chrono::seconds timeout) {
  return answerTo(send(method, std::move(args)), timeout);
}

json BridgeClient::answerTo(const json& id, std::chrono::seconds timeout) {
  for (auto early = early_.begin(); early != early_.end(); ++early) {
    if ((*early)["id"] == id) {
      json answer = std::move(*early);
      early_.erase(early);
      return answer;
    }
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto line = child_->readLine(left);
    if (!line) break;
    json message = json::parse(*line, nullptr, false);
    if (!message.is_object()) continue;
    if (message.contains("event")) {
      events_.push_back(std::move(message));
      continue;
    }
    if (!message.contains("id")) continue;
    if (message["id"] == id) return message;
    early_.push_back(std::move(message));
  }
  ADD_FAILURE() << "no answer to call " << id;
  return json();
}

std::optional<json> BridgeClient::nextEvent(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (events_.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto line = child_->readLine(left);
    if (!line) return std::nullopt;
    json message = json::parse(*line, nullptr, false);
    if (!message.is_object()) continue;
    if (message.contains("event")) {
      events_.push_back(std::move(message));
    } else if (message.contains("id")) {
      early_.push_back(std::move(message));
    }
  }
  json event = std::move(events_.front());
  events_.erase(events_.begin());
  return event;
}

json BridgeClient::waitForState(const std::string& state, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  json status;
  do {
    status = call("getStatus")["result"];
    if (status.is_object() && status["state"] == state) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  return status;
}

}  // namespace vlvpn::test
