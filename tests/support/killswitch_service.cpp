#include "tests/support/killswitch_service.h"

#include <fstream>
#include <iterator>
#include <thread>

#include "common/path_bytes.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {

std::string serviceEndpointFor(const std::filesystem::path& scratch);  // per platform

KillSwitchService::KillSwitchService(const std::filesystem::path& scratch, std::vector<std::string> wrapper,
                                     const std::string& sharedEndpoint)
    : endpoint(sharedEndpoint.empty() ? serviceEndpointFor(scratch) : sharedEndpoint), dataFolder(scratch / "ProgramData" / "VelmoraVPN") {
  std::filesystem::create_directories(scratch / "ProgramData");
  const std::filesystem::path program = builtProgram("VLVPNKillSwitch");
  std::vector<std::string> args;
  std::filesystem::path first = program;
  if (!wrapper.empty()) {
    first = wrapper.front();
    args.assign(wrapper.begin() + 1, wrapper.end());
    args.push_back(utf8FromPath(program));
  }
  args.push_back("console");
  child_ = ChildProcess::start(first, args,
                               {{"VLVPN_KILLSWITCH_SOCKET", endpoint},
                                {"VLVPN_KILLSWITCH_PIPE", endpoint},
                                {"ProgramData", utf8FromPath(scratch / "ProgramData")}});
}

KillSwitchService::~KillSwitchService() {
  if (child_) stop();
}

bool KillSwitchService::waitUntilAnswering() {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (request("PING") == "PONG") return true;
    if (!child_ || child_->waitForExit(std::chrono::milliseconds(0))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

std::optional<int> KillSwitchService::stop() {
  if (!child_) return std::nullopt;
  child_->requestStop();
  return child_->waitForExit(std::chrono::seconds(20));
}

void KillSwitchService::kill() {
  child_->kill();
  child_->waitForExit(std::chrono::seconds(20));
  child_.reset();
}

std::string KillSwitchService::logText() const {
  std::ifstream in(dataFolder / "killswitch.log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace vlvpn::test
