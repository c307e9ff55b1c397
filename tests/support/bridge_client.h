// The real VLVPNDesk --bridge, started by a test and called as the user
// interface calls it.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace vlvpn::test {

class BridgeClient {
 public:
  // `wrapper` runs before the program and must exec it ("ip netns exec ns").
  explicit BridgeClient(const EnvironmentOverrides& environment, const std::vector<std::string>& wrapper = {});

  bool started() const { return child_ != nullptr; }
  ChildProcess& child() { return *child_; }

  // Sends one call and returns its whole answer ({"id", "result"} or
  // {"id", "error"}); events on the way are skipped. Fails the test when
  // no answer comes within `timeout`.
  nlohmann::json call(const std::string& method, nlohmann::json args = nlohmann::json::array(),
                      std::chrono::seconds timeout = std::chrono::seconds(30));
  nlohmann::json answerTo(const nlohmann::json& id, std::chrono::seconds timeout = std::chrono::seconds(30));
  // Sends a call without waiting; its answer comes with answerTo(id).
  int send(const std::string& method, nlohmann::json args = nlohmann::json::array());

  // getStatus until its "state" is `state` (or `timeout` passes); the last status.
  nlohmann::json waitForState(const std::string& state, std::chrono::seconds timeout);

 private:
  std::unique_ptr<ChildProcess> child_;
  int lastId_ = 0;
  std::vector<nlohmann::json> early_;  // answers that came while waiting for another
};

}  // namespace vlvpn::test
