// Records launches and hands out processes whose state the test controls.
#pragma once

#include <memory>
#include <vector>

#include "service/supervised_process.h"

namespace vlvpn::test {

struct FakeProcessState {
  uint32_t pid = 0;
  bool running = true;
  bool queryFails = false;
  int terminations = 0;
};

class FakeProcess : public service::SupervisedProcess {
 public:
  explicit FakeProcess(std::shared_ptr<FakeProcessState> state) : state_(std::move(state)) {}
  uint32_t pid() const override { return state_->pid; }
  std::optional<bool> isRunning() override {
    if (state_->queryFails) return std::nullopt;
    return state_->running;
  }
  void terminate(std::chrono::milliseconds) override {
    ++state_->terminations;
    state_->running = false;
  }

 private:
  std::shared_ptr<FakeProcessState> state_;
};

class FakeProcessLauncher : public service::ProcessLauncher {
 public:
  std::vector<service::LaunchSpec> launches;
  std::vector<std::shared_ptr<FakeProcessState>> processes;
  std::optional<OsError> failure;

  Result<std::unique_ptr<service::SupervisedProcess>, OsError> launch(const service::LaunchSpec& spec) override {
    launches.push_back(spec);
    if (failure) return *failure;
    auto state = std::make_shared<FakeProcessState>();
    state->pid = 1000 + static_cast<uint32_t>(processes.size());
    processes.push_back(state);
    return std::unique_ptr<service::SupervisedProcess>(std::make_unique<FakeProcess>(state));
  }
};

}  // namespace vlvpn::test
