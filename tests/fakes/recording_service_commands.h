// Records every command the dispatcher passes on and answers from a script.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "service/dispatcher.h"

namespace vlvpn::test {

class RecordingServiceCommands : public service::ServiceCommands {
 public:
  std::vector<std::string> calls;
  std::vector<service::KillSwitchRequest> enableRequests;
  uint32_t enableResult = 0;
  uint32_t blockResult = 0;
  std::string startReply = "OK 4242";
  std::string statusReply = "OK STOPPED";
  std::function<void()> duringStart;         // runs inside startOpenVpn, with the command lock held
  std::function<void()> duringPreparation;   // runs before it, without the lock
  service::Requester lastRequester;

  uint32_t enableKillSwitch(const service::KillSwitchRequest& request) override {
    calls.push_back("enable");
    enableRequests.push_back(request);
    return enableResult;
  }
  void disableKillSwitch() override { calls.push_back("disable"); }
  uint32_t blockIpv6() override {
    calls.push_back("block");
    return blockResult;
  }
  void unblockIpv6() override { calls.push_back("unblock"); }
  service::StartPreparation prepareOpenVpnStart(const std::string& exe, const std::string& args,
                                                const service::Requester& requester) override {
    lastRequester = requester;
    if (duringPreparation) duringPreparation();
    calls.push_back("start [" + exe + "] [" + args + "]");
    return std::make_unique<service::PreparedStart>();
  }
  std::string startOpenVpn(std::unique_ptr<service::PreparedStart>) override {
    if (duringStart) duringStart();
    return startReply;
  }
  void stopOpenVpn() override { calls.push_back("stop"); }
  std::string openVpnStatus() override {
    calls.push_back("status");
    return statusReply;
  }
  bool killSwitchOn() override { return killSwitchIsOn; }
  bool ipv6BlockOn() override { return ipv6BlockIsOn; }
  bool killSwitchIsOn = false;
  bool ipv6BlockIsOn = false;
};

}  // namespace vlvpn::test
