#include "desktop/tunnel/tunnel_status.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/path_bytes.h"
#include "desktop/tunnel/session_controller.h"
#include "tests/support/tunnel_rig.h"

namespace vlvpn::tunnel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::eventually;

class StatusTest : public testing::Test {
 protected:
  void setSession(const char* state, std::shared_ptr<TunnelProcess> process, std::filesystem::path log = {},
                  std::string message = {}) {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    auto& session = rig.ports.tunnel->session;
    session.state = state;
    session.processHandle = std::move(process);
    session.logPath = std::move(log);
    session.message = std::move(message);
    session.profileId = "home";
  }

  test::TunnelRig rig;
};

TEST_F(StatusTest, AFreshProcessIsDisconnectedWithZeroRatesWrittenAsFloatingPoint) {
  const json status = getStatus(rig.ports);
  EXPECT_EQ(status.dump(), R"({"adapterUp":false,"downBps":0.0,"state":"disconnected","upBps":0.0})");
  EXPECT_TRUE(rig.ports.tunnel->recoveryTried) << "the recovery was tried, and found nothing to adopt";
  EXPECT_EQ(rig.openVpn.connectAttempts(), 1);
  getStatus(rig.ports);
  EXPECT_EQ(rig.openVpn.connectAttempts(), 1) << "once per process";
}

TEST_F(StatusTest, ConnectedAddsRatesCountersAndTheLink) {
  rig.ports.tunnel->recoveryTried = true;
  auto process = std::make_shared<test::FakeTunnelProcess>(4242);
  setSession(kStateConnected, process);
  rig.adapters->setTapUp(true);
  rig.adapters->setCounters(1000, 500);
  EXPECT_EQ(getStatus(rig.ports).dump(),
            R"({"adapterUp":true,"downBps":0.0,"physicalLinkUp":true,"pid":4242,"profileId":"home",)"
            R"("rxBytes":1000.0,"state":"connected","txBytes":500.0,"upBps":0.0})")
      << "the first sample sets the baseline";
  rig.clock.advance(2000ms);
  rig.adapters->setCounters(4001, 1500);
  const json status = getStatus(rig.ports);
  EXPECT_EQ(status["downBps"].dump(), "1500.0") << "whole bytes per second";
  EXPECT_EQ(status["upBps"].dump(), "500.0");
  EXPECT_EQ(status["rxBytes"].dump(), "4001.0");

  rig.adapters->setTapUp(false);
  const json down = getStatus(rig.ports);
  EXPECT_EQ(down["adapterUp"], false);
  EXPECT_FALSE(down.contains("rxBytes"));
  EXPECT_EQ(down["downBps"], 0.0);

  setSession(kStateConnecting, process);
  rig.adapters->setTapUp(true);
  const json connecting = getStatus(rig.ports);
  EXPECT_EQ(connecting["adapterUp"], false) << "only a connected tunnel reports the adapter";
  EXPECT_FALSE(connecting.contains("physicalLinkUp"));
}

TEST_F(StatusTest, ThePhysicalLinkIsJudgedOnTheIpv4ListingAlone) {
  // The full listing holds hidden interfaces (an up Ethernet filter
  // instance here); only the IPv4 listing says whether a real link is up.
  rig.ports.tunnel->recoveryTried = true;
  setSession(kStateConnected, std::make_shared<test::FakeTunnelProcess>(4242));
  rig.adapters->setTapUp(true);
  const AdapterInfo downEthernet{"Intel(R) Ethernet", false, kIfTypeEthernet, 5, {}};
  const AdapterInfo tap{"TAP-Windows Adapter V9", true, kIfTypeEthernet, 9, {}};
  const AdapterInfo wifi{"Wireless", true, kIfTypeWifi, 7, {}};
  const AdapterInfo virtualLink{"Hyper-V Virtual", true, 53, 8, {}};
  struct Case {
    const char* name;
    std::vector<AdapterInfo> listing;
    bool up;
  };
  const Case cases[] = {
      {"only a down link, the tunnel and a virtual link", {downEthernet, tap, virtualLink}, false},
      {"an up Wi-Fi link", {downEthernet, wifi}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rig.adapters->setIpv4Listing(c.listing);
    EXPECT_EQ(getStatus(rig.ports)["physicalLinkUp"], c.up);
  }
}

TEST_F(StatusTest, AnEndedProcessReadsAsDisconnectedWithItsLogsSentence) {
  rig.ports.tunnel->recoveryTried = true;
  const auto log = rig.base.path() / "openvpn.log";
  std::ofstream(log) << "TCP: connect to [AF_INET]127.0.0.1:1194 failed: Connection refused\n";
  auto process = std::make_shared<test::FakeTunnelProcess>(4242);
  process->ended = true;
  setSession(kStateConnected, process, log);
  const json status = getStatus(rig.ports);
  EXPECT_EQ(status["state"], "disconnected");
  EXPECT_EQ(status["message"], "Could not reach the VPN server. It may be offline or blocked.");
  EXPECT_FALSE(status.contains("pid"));
  EXPECT_EQ(rig.sessionCopy().state, kStateConnected) << "the answer changes, not the record";

  setSession(kStateConnected, process, log, "Connection closed");
  EXPECT_EQ(getStatus(rig.ports)["message"], "Connection closed") << "a message held wins over the log";
}

TEST_F(StatusTest, HelperInfoSaysWhetherAManagementConnectionIsHeld) {
  const json info = getHelperInfo(rig.ports);
  EXPECT_EQ(info["machService"], "openvpn.exe");
  EXPECT_EQ(info["plist"], bytesFromPath(rig.openVpnPath));
  EXPECT_EQ(info["profilesDir"], bytesFromPath(rig.dataFolder() / "profiles"));
  EXPECT_TRUE(std::filesystem::is_directory(rig.dataFolder() / "profiles")) << "made on demand";
  EXPECT_EQ(info["installed"], true);
  EXPECT_EQ(info["reachable"], false);
  {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    rig.ports.tunnel->session.managementSocket = std::make_shared<test::FakeManagementConnection>();
  }
  EXPECT_EQ(getHelperInfo(rig.ports)["reachable"], true);
  rig.openVpnPath.clear();
  EXPECT_EQ(getHelperInfo(rig.ports)["plist"], "");
  EXPECT_EQ(getHelperInfo(rig.ports)["installed"], false);
}

class RecoveryTest : public StatusTest {
 protected:
  // An OpenVPN an earlier run left behind, with its files.
  void leaveTunnelRunning(const char* state) {
    rig.openVpn.start();
    rig.openVpn.setState(state);
    rig.runningOpenVpnPid = rig.openVpn.currentProcess()->pid();
    std::filesystem::create_directories(rig.dataFolder());
    std::ofstream(rig.dataFolder() / "active.txt", std::ios::binary) << "home\r\n";
    rig.ports.killSwitch->saveServerEndpoint({"udp", 1194, "198.18.0.9"});
  }
};

TEST_F(RecoveryTest, TheFirstStatusAdoptsARunningTunnel) {
  leaveTunnelRunning("CONNECTED");
  rig.runningOpenVpnPid = 999;  // another program's OpenVPN, found first by name
  const json status = getStatus(rig.ports);
  EXPECT_EQ(status["state"], "connected");
  EXPECT_EQ(status["profileId"], "home");
  EXPECT_EQ(status["pid"], rig.openVpn.currentProcess()->pid()) << "the one the service runs";

  const auto session = rig.sessionCopy();
  EXPECT_EQ(session.endpoint, (ServerEndpoint{"udp", 1194, "198.18.0.9"}));
  EXPECT_EQ(session.logPath, std::filesystem::path()) << "unknown for an adopted tunnel";
  EXPECT_NE(session.managementSocket, nullptr);
  EXPECT_TRUE(rig.ports.tunnel->sessionOwned);
  EXPECT_TRUE(rig.ports.tunnel->launchedViaService) << "the service reported it RUNNING";
  EXPECT_TRUE(rig.ports.monitor->monitorRunning());
  // The monitor may replay the history (CONNECTING, then CONNECTED) and block again.
  const auto commands = rig.service.commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(std::vector(commands.begin(), commands.begin() + 2), (std::vector<std::string>{"OPENVPN_STATUS", "BLOCK_IPV6"}));
  EXPECT_EQ(rig.openVpn.connections().front()->commands().front(), "state");

  // It is ours now: a close says only "Connection closed", no log being known.
  rig.openVpn.exit();
  ASSERT_TRUE(rig.waitForState(kStateDisconnected));
  ASSERT_TRUE(eventually([&] { return !rig.ports.monitor->monitorRunning(); }));
  EXPECT_EQ(getStatus(rig.ports)["message"], "Connection closed");
}

TEST_F(RecoveryTest, AConnectingTunnelIsAskedTwiceAndCanBeDisconnected) {
  leaveTunnelRunning("WAIT");
  rig.ports.killSwitch->blockIpv6Enabled = false;
  rig.service.mode = test::FakeKillSwitchService::Mode::Absent;
  const json status = getStatus(rig.ports);
  EXPECT_EQ(status["state"], "connecting");
  EXPECT_EQ(status["pid"], rig.openVpn.currentProcess()->pid()) << "found by name";
  EXPECT_EQ(rig.clock.takeSleeps(), std::vector{350ms});
  const auto first = rig.openVpn.connections().front()->commands();
  EXPECT_EQ(std::count(first.begin(), first.end(), "state"), 2);
  EXPECT_FALSE(rig.ports.tunnel->launchedViaService);

  rig.service.mode = test::FakeKillSwitchService::Mode::Present;
  EXPECT_EQ(runDisconnect(rig.ports)["state"], "disconnected");
  EXPECT_FALSE(rig.openVpn.running()) << "stopped with signal SIGTERM on the adopted connection";
  EXPECT_FALSE(rig.dataFileExists("active.txt"));
}

TEST_F(RecoveryTest, WithoutTheServiceTheProcessIsFoundByName) {
  leaveTunnelRunning("CONNECTED");
  rig.service.mode = test::FakeKillSwitchService::Mode::Absent;
  EXPECT_EQ(getStatus(rig.ports)["pid"], rig.openVpn.currentProcess()->pid());
  EXPECT_FALSE(rig.ports.tunnel->launchedViaService);
}

// Any local user can listen on the management port and answer as OpenVPN
// would: only the OpenVPN the service names (or, without it, the one found
// by name) may hold the listener for the tunnel to be adopted.
TEST_F(RecoveryTest, AListenerThatIsNotThatOpenVpnsIsNoTunnel) {
  leaveTunnelRunning("CONNECTED");
  rig.listenerOwner = 4242;  // another user's program on the port
  EXPECT_FALSE(recoverRunningTunnel(rig.ports));
  EXPECT_EQ(getStatus(rig.ports)["state"], "disconnected");
  EXPECT_EQ(rig.sessionCopy().managementSocket, nullptr);
  EXPECT_FALSE(rig.ports.tunnel->sessionOwned);

  rig.service.mode = test::FakeKillSwitchService::Mode::Absent;
  rig.runningOpenVpnPid.reset();
  rig.listenerOwner.reset();
  EXPECT_FALSE(recoverRunningTunnel(rig.ports)) << "no OpenVPN known at all: nothing to hold the listener";
}

TEST_F(RecoveryTest, IsNotTriedDuringAConnectNorAgainLater) {
  leaveTunnelRunning("CONNECTED");
  rig.ports.tunnel->connectWorkersActive = 1;
  EXPECT_EQ(getStatus(rig.ports)["state"], "disconnected");
  rig.ports.tunnel->connectWorkersActive = 0;
  EXPECT_EQ(getStatus(rig.ports)["state"], "disconnected") << "the one try is spent";
  EXPECT_TRUE(rig.openVpn.connections().empty());

  EXPECT_TRUE(recoverRunningTunnel(rig.ports)) << "the recovery itself would have adopted it";
  EXPECT_FALSE(recoverRunningTunnel(rig.ports)) << "not while a connection is held";
}

TEST_F(RecoveryTest, FindsNothingWhenNoOpenVpnAnswersOrATunnelIsHeld) {
  EXPECT_FALSE(recoverRunningTunnel(rig.ports));
  leaveTunnelRunning("CONNECTED");
  setSession(kStateConnecting, nullptr);
  EXPECT_FALSE(recoverRunningTunnel(rig.ports)) << "a connect's tunnel is not replaced";
  EXPECT_TRUE(rig.openVpn.connections().empty());
  EXPECT_TRUE(rig.service.requests().empty());
}

}  // namespace
}  // namespace vlvpn::tunnel
