#include "desktop/killswitch/killswitch_controller.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vlvpn::killswitch {
namespace {

using Requests = std::vector<std::string>;

TunnelView idleTunnel() {
  return {[] { return std::string("disconnected"); }, [] { return ServerEndpoint{}; }};
}

TEST(EnableRequest, SpellsTheEndpointForTheService) {
  const std::string program = "C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe";
  EXPECT_EQ(enableRequest({"udp", 1194, "1.2.3.4,5.6.7.8"}, true, program),
            "ENABLE udp 1194 1 1.2.3.4,5.6.7.8 C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe");
  EXPECT_EQ(enableRequest({"", -5, "1.2.3.4"}, false, program), "ENABLE any -5 0 1.2.3.4 " + program);
  EXPECT_EQ(enableRequest({"tcp", 443, ""}, false, program), "ENABLE tcp 443 0 none " + program);
  EXPECT_EQ(enableRequest({"tcp", 443, ""}, true, program), "ENABLE tcp 443 1 none " + program)
      << "no address known yet: the set still goes up";
}

TEST(EndpointFile, RoundTripsAndForgivesDamage) {
  EXPECT_EQ(formatEndpointFile({"udp", 1194, "1.2.3.4,5.6.7.8"}), "udp\n1194\n1.2.3.4,5.6.7.8");
  struct Case {
    const char* text;
    ServerEndpoint endpoint;
  };
  const Case cases[] = {
      {"udp\n1194\n1.2.3.4,5.6.7.8", {"udp", 1194, "1.2.3.4,5.6.7.8"}},
      {"udp\r\n1194\r\n1.2.3.4\r\n", {"udp", 1194, "1.2.3.4"}},
      {"tcp\n  +443xyz\n1.1.1.1", {"tcp", 443, "1.1.1.1"}},
      {"tcp\nbanana\n1.1.1.1", {"tcp", 0, "1.1.1.1"}},
      {"tcp\n99999999999\n1.1.1.1", {"tcp", 0, "1.1.1.1"}},
      {"udp", {"udp", 0, ""}},
      {"", {"", 0, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(parseEndpointFile(c.text), c.endpoint);
  }
}

// A service that answers each command word as told ("" for silence) and
// remembers what it was sent.
struct ScriptedService {
  std::map<std::string, std::string> replies{{"ENABLE", "OK"},        {"DISABLE", "OK"},
                                             {"BLOCK_IPV6", "OK"},    {"UNBLOCK_IPV6", "OK"},
                                             {"FILTER_STATUS", "OK a1 1 1"}};
  Requests sent;
  std::string answer(std::string_view request) {
    sent.emplace_back(request);
    return replies[std::string(request.substr(0, request.find(' ')))];
  }
  Requests take() { return std::exchange(sent, {}); }
};

struct KeeperRig {
  ScriptedService service;
  std::string state = "connected";
  bool carriesDns = false;
  KillSwitchController controller{[this](std::string_view r) { return service.answer(r); },
                                  [] { return std::filesystem::path("/nowhere"); }, "/p",
                                  {[this] { return state; }, [] { return ServerEndpoint{"udp", 1194, "1.2.3.4"}; },
                                   [this] { return carriesDns; }}};
};

constexpr const char* kWithDns = "ENABLE udp 1194 1 1.2.3.4 /p";
constexpr const char* kWithoutDns = "ENABLE udp 1194 0 1.2.3.4 /p";

TEST(KillSwitchKeeper, SendsNothingWhileNothingIsWanted) {
  KeeperRig rig;
  rig.controller.keepInForce();
  EXPECT_TRUE(rig.service.take().empty()) << "idle: not even a status request";
  rig.controller.applyKillSwitch(true);
  rig.controller.liftKillSwitch();
  rig.controller.setIpv6Block(false);
  rig.service.take();
  rig.controller.keepInForce();
  EXPECT_TRUE(rig.service.take().empty()) << "turned off again: nothing to keep";
}

TEST(KillSwitchKeeper, AsksOncePerRoundWhileTheServiceHoldsWhatWasAskedFor) {
  KeeperRig rig;
  EXPECT_TRUE(rig.controller.applyKillSwitch(true));
  rig.controller.setIpv6Block(true);
  EXPECT_EQ(rig.service.take(), (Requests{kWithDns, "BLOCK_IPV6"}));
  for (int round = 0; round < 3; ++round) {
    rig.controller.keepInForce();
    EXPECT_EQ(rig.service.take(), Requests{"FILTER_STATUS"});
  }
}

TEST(KillSwitchKeeper, PutsBackWhatARestartedServiceNoLongerHolds) {
  struct Case {
    const char* name;
    const char* status;  // after the first round, which saw "OK a1 1 1"
    Requests resent;
  };
  const Case cases[] = {
      {"stopped and started: nothing held", "OK b2 0 0", {kWithDns, "BLOCK_IPV6"}},
      {"another instance that says it holds both", "OK b2 1 1", {kWithDns, "BLOCK_IPV6"}},
      {"the same instance lost the kill switch", "OK a1 0 1", {kWithDns}},
      {"the same instance lost the IPv6 block", "OK a1 1 0", {"BLOCK_IPV6"}},
      {"not answering (yet)", "", {}},
      {"an answer of another shape", "OK a1 yes", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KeeperRig rig;
    rig.controller.applyKillSwitch(true);
    rig.controller.setIpv6Block(true);
    rig.controller.keepInForce();
    rig.service.take();
    rig.service.replies["FILTER_STATUS"] = c.status;
    rig.controller.keepInForce();
    Requests expected{"FILTER_STATUS"};
    expected.insert(expected.end(), c.resent.begin(), c.resent.end());
    EXPECT_EQ(rig.service.take(), expected);
  }
}

TEST(KillSwitchKeeper, AsksAgainForASetTheServiceRefusedOrNeverAnswered) {
  for (const char* reply : {"ERR 5", ""}) {
    SCOPED_TRACE(reply);
    KeeperRig rig;
    rig.controller.killSwitchEnabled = true;
    rig.service.replies["ENABLE"] = reply;
    EXPECT_FALSE(rig.controller.applyKillSwitch(true));
    EXPECT_EQ(rig.controller.killSwitchActive(), false) << "on, but not in force";
    rig.service.take();
    rig.service.replies["FILTER_STATUS"] = "";
    rig.controller.keepInForce();
    EXPECT_EQ(rig.service.take(), Requests{"FILTER_STATUS"}) << "no service to ask: nothing more";
    rig.service.replies["FILTER_STATUS"] = "OK a1 1 0";  // the set in force is an older one
    rig.controller.keepInForce();
    EXPECT_EQ(rig.service.take(), (Requests{"FILTER_STATUS", kWithDns}));
    rig.service.replies["ENABLE"] = "OK";
    rig.controller.keepInForce();
    EXPECT_EQ(rig.service.take(), (Requests{"FILTER_STATUS", kWithDns}));
    EXPECT_EQ(rig.controller.killSwitchActive(), true);
    rig.controller.keepInForce();
    EXPECT_EQ(rig.service.take(), Requests{"FILTER_STATUS"}) << "confirmed: only checked from now on";
  }
}

TEST(KillSwitchKeeper, ReportsTheKillSwitchInForceOnlyWhileTheSettingIsOn) {
  KeeperRig rig;
  EXPECT_EQ(rig.controller.killSwitchActive(), std::nullopt);
  rig.controller.killSwitchEnabled = true;
  EXPECT_EQ(rig.controller.killSwitchActive(), false) << "nothing asked for yet";
  rig.controller.applyKillSwitch(false);
  EXPECT_EQ(rig.controller.killSwitchActive(), true);
  rig.service.replies["FILTER_STATUS"] = "OK a1 0 0";
  rig.service.replies["ENABLE"] = "";
  rig.controller.keepInForce();
  EXPECT_EQ(rig.controller.killSwitchActive(), false) << "lost with the service, and not yet back";
  rig.controller.killSwitchEnabled = false;
  EXPECT_EQ(rig.controller.killSwitchActive(), std::nullopt);
}

TEST(KillSwitchSettings, NeverOpenTheMachineButAtTheUsersWord) {
  KeeperRig rig;
  rig.controller.killSwitchEnabled = true;
  rig.controller.onKillSwitchSetting(true);
  EXPECT_EQ(rig.service.take(), Requests{kWithDns});
  rig.carriesDns = true;
  rig.controller.onKillSwitchSetting(true);
  EXPECT_EQ(rig.service.take(), Requests{kWithoutDns}) << "a tunnel with DNS of its own needs none outside it";
  rig.controller.prepareForReconnect();
  EXPECT_EQ(rig.service.take(), Requests{kWithDns}) << "switching servers: DNS for the next resolve, nothing else";
  rig.state = "connecting";
  rig.controller.onKillSwitchSetting(true);
  EXPECT_TRUE(rig.service.take().empty()) << "the connect puts it up";
  rig.controller.onKillSwitchSetting(false);
  EXPECT_EQ(rig.service.take(), (Requests{"DISABLE", "BLOCK_IPV6"}));
}

TEST(FilterStatus, ReadsOnlyTheServicesExactShape) {
  EXPECT_EQ(parseFilterStatus("OK 0123abcd 1 0")->instance, "0123abcd");
  EXPECT_TRUE(parseFilterStatus("OK x 1 0")->killSwitch);
  EXPECT_FALSE(parseFilterStatus("OK x 1 0")->ipv6Block);
  for (const char* reply : {"", "OK", "OK x 1", "OK x 1 0 9", "ERR unknown_command", "OK x 2 0", "PONG"}) {
    SCOPED_TRACE(reply);
    EXPECT_EQ(parseFilterStatus(reply), std::nullopt);
  }
}

TEST(KillSwitchController, PersistsTheEndpointInItsFile) {
  test::TempDir dir;
  KillSwitchController controller([](std::string_view) { return std::string(); }, [&] { return dir.path(); }, "/p",
                                  idleTunnel());
  EXPECT_EQ(controller.loadServerEndpoint(), ServerEndpoint{}) << "no file yet";
  controller.saveServerEndpoint({"udp", 1194, "9.9.9.9"});
  std::ifstream in(dir.path() / "killswitch.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "udp\n1194\n9.9.9.9");
  EXPECT_EQ(controller.loadServerEndpoint(), (ServerEndpoint{"udp", 1194, "9.9.9.9"}));

  // The data folder is made when missing; a folder that cannot be made is
  // silently skipped.
  KillSwitchController fresh([](std::string_view) { return std::string(); }, [&] { return dir.path() / "new" / "data"; },
                             "/p", idleTunnel());
  fresh.saveServerEndpoint({"tcp", 443, "8.8.8.8"});
  EXPECT_EQ(fresh.loadServerEndpoint(), (ServerEndpoint{"tcp", 443, "8.8.8.8"}));
  fresh.removeServerEndpoint();
  EXPECT_EQ(fresh.loadServerEndpoint(), ServerEndpoint{});
  fresh.removeServerEndpoint();  // nothing left to remove

  std::ofstream(dir.path() / "a-file") << "x";
  KillSwitchController nowhere([](std::string_view) { return std::string(); }, [&] { return dir.path() / "a-file" / "d"; },
                               "/p", idleTunnel());
  nowhere.saveServerEndpoint({"udp", 1, "1.1.1.1"});
  EXPECT_EQ(nowhere.loadServerEndpoint(), ServerEndpoint{});
}

}  // namespace
}  // namespace vlvpn::killswitch
