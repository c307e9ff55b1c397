// The real VLVPNDesk --bridge, started by a test and called as the user
// interface calls it.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"

namespace vlvpn::test {

// `environment` with a VLVPN_DESK_INSTANCE of its own added (unless it has
// one), so programs of tests running side by side never meet as one user's
// instances.
EnvironmentOverrides withOwnInstance(EnvironmentOverrides environment);

class BridgeClient {
 public:
  // `wrapper` runs before the program and must exec it ("ip netns exec ns").
  explicit BridgeClient(const EnvironmentOverrides& environment, const std::vector<std::string>& wrapper = {});
  // Another build of the desktop program (an installed one).
  BridgeClient(const std::filesystem::path& program, const EnvironmentOverrides& environment);

  bool started() const { return child_ != nullptr; }
  ChildProcess& child() { return *child_; }

  // Sends one call and returns its whole answer ({"id", "result"} or
  // {"id", "error"}); events on the way are skipped. Fails the test when
  // no answer comes within `timeout`.
  nlohmann::json call(const std::string& method, nlohmann::json args = nlohmann::json::array(),
                      std::chrono::seconds timeout = std::chrono::seconds(30));
  nlohmann::json answerTo(const nlohmann::json& id, std::chrono::seconds timeout = std::chrono::seconds(30));
  // Sends a call without waiting; its answer comes with answerTo(id).
  int send(const std::string& method, nlohmann::json args = nlohmann::json::array(),
           const std::string& module = "VLVPNTunnel");

  // The next event ({"event", "body"}) in arrival order, or nullopt when
  // none comes within `timeout`; answers on the way are kept for answerTo.
  std::optional<nlohmann::json> nextEvent(std::chrono::milliseconds timeout);

  // getStatus until its "state" is `state` (or `timeout` passes); the last status.
  nlohmann::json waitForState(const std::string& state, std::chrono::seconds timeout);

 private:
  std::unique_ptr<ChildProcess> child_;
  int lastId_ = 0;
  std::vector<nlohmann::json> early_;   // answers that came while waiting for another
  std::vector<nlohmann::json> events_;  // events not yet taken
};

}  // namespace vlvpn::test
