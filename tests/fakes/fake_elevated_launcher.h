// Records elevated starts and answers with the error the test chose; a start
// may hand back a process the test controls.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "desktop/tunnel/elevated_launcher.h"

namespace vlvpn::test {

class FakeElevatedLauncher : public tunnel::ElevatedLauncher {
 public:
  struct Start {
    std::filesystem::path program;
    std::string parameters;
    std::vector<std::string> arguments;
  };

  uint32_t error = 0;
  std::function<std::shared_ptr<tunnel::TunnelProcess>(const std::filesystem::path& program)> onStart;

  tunnel::ElevatedLaunch start(const std::filesystem::path& program, const std::string& parameters,
                               const std::vector<std::string>& arguments) override {
    {
      std::lock_guard lock(mutex_);
      starts_.push_back({program, parameters, arguments});
    }
    tunnel::ElevatedLaunch launch;
    launch.error = error;
    if (error == 0 && onStart) launch.process = onStart(program);
    return launch;
  }
  std::vector<Start> starts() {
    std::lock_guard lock(mutex_);
    return starts_;
  }

 private:
  std::mutex mutex_;
  std::vector<Start> starts_;
};

}  // namespace vlvpn::test
