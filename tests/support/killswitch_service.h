// VLVPNKillSwitch started by a test in console mode, on an endpoint and data
// folder of the test's own, and a client for its one-line protocol.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace vlvpn::test {

// One request, as the desktop program sends it: connect, write `bytes`, read
// the reply line. Returns the reply without its LF, "" when there was none.
// With no bytes it connects and closes at once, writing nothing.
std::string serviceRequest(const std::string& endpoint, std::string_view bytes);

class KillSwitchService {
 public:
  // `wrapper` runs before the program (say "ip netns exec ns"), and must exec
  // it. `endpoint` replaces the test's own one.
  KillSwitchService(const std::filesystem::path& scratch, std::vector<std::string> wrapper = {},
                    const std::string& endpoint = {});
  ~KillSwitchService();

  bool started() const { return child_ != nullptr; }
  uint32_t pid() const { return child_ ? child_->pid() : 0; }
  // Waits until PING is answered.
  bool waitUntilAnswering();
  std::string request(std::string_view line) { return serviceRequest(endpoint, std::string(line) + "\n"); }
  // Signals the stop and returns the exit code (nullopt if it did not end).
  std::optional<int> stop();
  // Ends the service at once (SIGKILL; TerminateProcess), as a crash would,
  // and waits until it is gone.
  void kill();
  std::string logText() const;

  std::string endpoint;
  std::filesystem::path dataFolder;  // <ProgramData>/VelmoraVPN

 private:
  std::unique_ptr<ChildProcess> child_;
};

}  // namespace vlvpn::test
