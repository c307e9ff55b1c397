// A tunnel session through the real desktop program and the real service over
// the named pipe, with the stand-in openvpn.exe speaking the management
// protocol on 127.0.0.1:11940. The tests of this program share that port and
// the prefix's data folder, so ctest runs them one at a time.
#include <windows.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "desktop/tunnel/adapter_query.h"
#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"
#include "tests/support/user_data.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kProfile = "client\r\n# fake-openvpn: management\r\nproto udp\r\nremote 127.0.0.1 1194\r\n";

// Under Wine the adapters are the machine's interfaces; the test fixture
// makes a tun device named tap-windows0 to stand for an installed TAP adapter.
bool tapAdapterVisible() { return tunnel::isTapAdapterInstalled(tunnel::AdapterQuery::create()->adapters()); }

class WindowsTunnel : public testing::Test {
 protected:
  void SetUp() override {
    VLVPN_REQUIRE_ENVIRONMENT(tapAdapterVisible(), "needs a TAP adapter: the fixture makes tap-windows0 as root");
    ASSERT_TRUE(service.waitUntilAnswering());
    bridge = startBridge();
    ASSERT_TRUE(bridge->call("saveOvpnProfile", {id, kProfile, id + ".ovpn", ""}).contains("result"));
  }
  void TearDown() override {
    if (bridge) bridge->call("deleteOvpnProfile", {id});
  }
  std::unique_ptr<BridgeClient> startBridge() {
    return std::make_unique<BridgeClient>(EnvironmentOverrides{{"VLVPN_KILLSWITCH_PIPE", service.endpoint}});
  }
  bool serviceReportsStopped() {
    for (int attempt = 0; attempt < 100; ++attempt) {
      if (service.request("OPENVPN_STATUS") == "OK STOPPED") return true;
      Sleep(50);
    }
    return false;
  }

  TempDir scratch;
  KillSwitchService service{scratch.path()};
  UserDataFolder data{scratch.path()};
  const std::string id = data.uniqueProfileId("wine-tunnel");
  std::unique_ptr<BridgeClient> bridge;
};

TEST_F(WindowsTunnel, ConnectsThroughTheServiceAndDisconnects) {
  EXPECT_EQ(bridge->call("connectOvpn", {id, id + ".ovpn", "u", "p"})["result"], json({{"state", "connecting"}}));
  const json status = bridge->waitForState("connected", 20s);
  ASSERT_EQ(status["state"], "connected") << status << service.logText();
  EXPECT_EQ(status["profileId"], id);
  ASSERT_TRUE(status["pid"].is_number_unsigned());
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + std::to_string(status["pid"].get<uint32_t>()));
  EXPECT_EQ(data.readProfileFile(id, "auth.txt"), "u\np\n");
  EXPECT_EQ(bridge->call("getHelperInfo")["result"]["reachable"], true);

  EXPECT_EQ(bridge->call("disconnect")["result"], json({{"state", "disconnected"}}));
  EXPECT_EQ(bridge->call("getStatus")["result"]["state"], "disconnected");
  EXPECT_TRUE(serviceReportsStopped());
  EXPECT_NE(data.readProfileFile(id, "openvpn.log").find("SIGTERM"), std::string::npos) << "ended by signal SIGTERM";
}

TEST_F(WindowsTunnel, ARestartedBridgeAdoptsTheRunningOpenVpn) {
  bridge->call("connectOvpn", {id, id + ".ovpn", "", ""});
  const json before = bridge->waitForState("connected", 20s);
  ASSERT_EQ(before["state"], "connected") << before;

  bridge->child().kill();
  bridge->child().waitForExit(10s);
  bridge = startBridge();
  const json adopted = bridge->call("getStatus")["result"];
  EXPECT_EQ(adopted["state"], "connected") << adopted;
  EXPECT_EQ(adopted["pid"], before["pid"]);
  EXPECT_EQ(adopted["profileId"], id);

  EXPECT_EQ(bridge->call("disconnect")["result"], json({{"state", "disconnected"}}));
  EXPECT_TRUE(serviceReportsStopped());
}

}  // namespace
}  // namespace vlvpn::test
