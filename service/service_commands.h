// The service's commands wired to the filtering engine and the supervisor.
#pragma once

#include "service/dispatcher.h"
#include "service/filter_engine.h"
#include "service/openvpn_supervisor.h"

namespace vlvpn::service {

class KillSwitchCommands final : public ServiceCommands {
 public:
  KillSwitchCommands(FilterEngine& engine, OpenVpnSupervisor& supervisor) : engine_(engine), supervisor_(supervisor) {}

  uint32_t enableKillSwitch(const KillSwitchRequest& request) override { return engine_.enableKillSwitch(request); }
  void disableKillSwitch() override { engine_.disableKillSwitch(); }
  uint32_t blockIpv6() override { return engine_.blockIpv6(); }
  void unblockIpv6() override { engine_.unblockIpv6(); }
  StartPreparation prepareOpenVpnStart(const std::string& exe, const std::string& args,
                                       const Requester& requester) override {
    return supervisor_.prepare(exe, args, requester);
  }
  std::string startOpenVpn(std::unique_ptr<PreparedStart> prepared) override {
    return supervisor_.launch(std::move(prepared));
  }
  void stopOpenVpn() override { supervisor_.stop(); }
  std::string openVpnStatus() override { return supervisor_.status(); }
  bool killSwitchOn() override { return engine_.killSwitchOn(); }
  bool ipv6BlockOn() override { return engine_.ipv6BlockOn(); }

 private:
  FilterEngine& engine_;
  OpenVpnSupervisor& supervisor_;
};

}  // namespace vlvpn::service
