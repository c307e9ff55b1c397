#include "desktop/tunnel/management_monitor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "tests/support/tunnel_rig.h"

namespace vlvpn::tunnel {
namespace {

using namespace std::chrono_literals;
using test::FakeManagementConnection;

using test::eventually;

// Lets the monitor go round its loop a few times.
void letTheMonitorRun() { std::this_thread::sleep_for(40ms); }

class MonitorTest : public testing::Test {
 protected:
  void SetUp() override { setState(kStateConnecting); }
  void setState(const char* state) {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    rig.ports.tunnel->session.state = state;
  }
  std::shared_ptr<FakeManagementConnection> watch() {
    auto connection = std::make_shared<FakeManagementConnection>();
    {
      std::lock_guard lock(rig.ports.tunnel->sessionMutex);
      rig.ports.tunnel->session.managementSocket = connection;
    }
    EXPECT_TRUE(rig.ports.monitor->startMonitor(connection));
    return connection;
  }
  int countOf(FakeManagementConnection& connection, const std::string& command) {
    const auto commands = connection.commands();
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
  }

  test::TunnelRig rig;
};

TEST_F(MonitorTest, FollowsOpenVpnsReportsAndBlocksIpv6OnEachEntryIntoConnected) {
  auto connection = watch();
  ASSERT_TRUE(eventually([&] { return !connection->commands().empty(); }));
  EXPECT_EQ(connection->rawSends().front(), "state on all\r\n");
  {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    rig.ports.tunnel->session.message = "an old failure";
  }

  // The answer to "state on all", the CONNECTED report split across two receives.
  connection->push("SUCCESS: real-time state notification set to ON\n1796754052,WAIT,,,,,,\nEND\n>STATE:1796754052,CON");
  connection->push("NECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,\n");
  ASSERT_TRUE(rig.waitForState(kStateConnected));
  ASSERT_TRUE(eventually([&] { return rig.service.commands() == std::vector<std::string>{"BLOCK_IPV6"}; }));
  EXPECT_EQ(rig.sessionCopy().message, "") << "connected clears the message";

  connection->push("1796754053,CONNECTED,SUCCESS,10.8.0.2,,,,\n");  // no new entry: no new block
  connection->push(">STATE:1796754070,RECONNECTING,ping-restart,,,,,\n");
  ASSERT_TRUE(rig.waitForState(kStateConnecting));
  connection->push(">STATE:1796754075,CONNECTED,SUCCESS,10.8.0.2,,,,\n");
  ASSERT_TRUE(rig.waitForState(kStateConnected));
  ASSERT_TRUE(eventually([&] { return rig.service.commands().size() == 2; }));
  EXPECT_EQ(rig.service.commands(), (std::vector<std::string>{"BLOCK_IPV6", "BLOCK_IPV6"}));

  rig.ports.killSwitch->blockIpv6Enabled = false;
  connection->push(">STATE:1796754080,RECONNECTING,ping-restart,,,,,\n>STATE:1796754085,CONNECTED,SUCCESS,,,,,\n");
  letTheMonitorRun();
  EXPECT_EQ(rig.service.commands().size(), 2u) << "no block while the setting is off";
}

TEST_F(MonitorTest, AnExitingReportEndsTheSessionQuietly) {
  rig.ports.killSwitch->killSwitchEnabled = true;
  rig.ports.tunnel->sessionOwned = true;
  auto connection = watch();
  connection->push(">STATE:1796754052,CONNECTED,SUCCESS,,,,,\n");
  ASSERT_TRUE(rig.waitForState(kStateConnected));
  connection->push("SUCCESS: signal SIGTERM thrown\n>STATE:1796754060,EXITING,SIGTERM,,,,,\n");
  ASSERT_TRUE(rig.waitForState(kStateDisconnected));
  connection->closeFromPeer();
  ASSERT_TRUE(eventually([&] { return !rig.ports.monitor->monitorRunning(); }));
  EXPECT_EQ(rig.sessionCopy().message, "");
  EXPECT_EQ(rig.service.commands(), (std::vector<std::string>{"BLOCK_IPV6", "ENABLE any 0 1 none /opt/Velmora VPN/VLVPNDesk"}))
      << "leaving connected puts the DNS exception back, and nothing comes after EXITING";
  EXPECT_EQ(rig.sessionCopy().managementSocket, nullptr) << "the monitor let go of its connection";
}

TEST_F(MonitorTest, AnUnexpectedCloseSaysWhyAndFencesTheMachineAgain) {
  const auto log = rig.base.path() / "openvpn.log";
  std::ofstream(log) << "AUTH: Received control message: AUTH_FAILED\n";
  struct Case {
    const char* name;
    bool killSwitch;
    bool owned;
    std::filesystem::path log;
    std::string message;
    std::vector<std::string> commands;
  };
  const std::string classified = "Authentication failed - check your username and password.";
  const Case cases[] = {
      {"kill switch on, our tunnel", true, true, log, classified, {"UNBLOCK_IPV6", "ENABLE"}},
      {"kill switch on, after a disconnect began", true, false, log, classified, {"UNBLOCK_IPV6"}},
      {"kill switch off", false, true, {}, kConnectionClosed, {"UNBLOCK_IPV6"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    rig.service.forget();
    rig.ports.killSwitch->killSwitchEnabled = c.killSwitch;
    rig.ports.tunnel->sessionOwned = c.owned;
    {
      std::lock_guard lock(rig.ports.tunnel->sessionMutex);
      auto& session = rig.ports.tunnel->session;
      session.state = kStateConnected;
      session.logPath = c.log;
      session.endpoint = {"udp", 1194, "198.18.0.7"};
    }
    auto connection = watch();
    connection->closeFromPeer();
    ASSERT_TRUE(rig.waitForState(kStateDisconnected));
    ASSERT_TRUE(eventually([&] { return !rig.ports.monitor->monitorRunning(); }));
    EXPECT_EQ(rig.sessionCopy().message, c.message);
    EXPECT_EQ(rig.service.commands().size(), c.commands.size());
    for (size_t i = 0; i < std::min(c.commands.size(), rig.service.commands().size()); ++i) {
      EXPECT_TRUE(rig.service.commands()[i].starts_with(c.commands[i])) << rig.service.commands()[i];
    }
    if (c.commands.size() == 2) {
      EXPECT_EQ(rig.service.requests().back(), "ENABLE udp 1194 1 198.18.0.7 /opt/Velmora VPN/VLVPNDesk")
          << "with DNS allowed";
    }
  }
}

// The kill switch lets DNS out only while the tunnel cannot carry it: off
// once a connected tunnel has DNS servers of its own, back for a reconnect,
// which may have to resolve the server again.
TEST_F(MonitorTest, TakesTheOutsideDnsAwayWhileTheTunnelCarriesItsOwn) {
  const auto log = rig.base.path() / "openvpn.log";
  const std::string withoutDns = "ENABLE udp 1194 0 198.18.0.7 /opt/Velmora VPN/VLVPNDesk";
  const std::string withDns = "ENABLE udp 1194 1 198.18.0.7 /opt/Velmora VPN/VLVPNDesk";
  struct Case {
    const char* name;
    const char* pushReply;
    bool killSwitch, owned;
    std::vector<std::string> onConnected, onReconnecting;
  };
  const Case cases[] = {
      {"pushed DNS", "PUSH_REPLY,dhcp-option DNS 10.8.0.1,ifconfig 10.8.0.2", true, true,
       {"BLOCK_IPV6", withoutDns}, {withDns}},
      {"no DNS of its own: the exception stays", "PUSH_REPLY,ifconfig 10.8.0.2", true, true, {"BLOCK_IPV6"}, {withDns}},
      {"kill switch off", "PUSH_REPLY,dhcp-option DNS 10.8.0.1", false, true, {"BLOCK_IPV6"}, {}},
      {"a tunnel being let go", "PUSH_REPLY,dhcp-option DNS 10.8.0.1", true, false, {"BLOCK_IPV6"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(log, std::ios::trunc) << "PUSH: Received control message: '" << c.pushReply << "'\n";
    rig.ports.killSwitch->killSwitchEnabled = c.killSwitch;
    rig.ports.tunnel->sessionOwned = c.owned;
    {
      std::lock_guard lock(rig.ports.tunnel->sessionMutex);
      rig.ports.tunnel->session.state = kStateConnecting;
      rig.ports.tunnel->session.logPath = log;
      rig.ports.tunnel->session.endpoint = {"udp", 1194, "198.18.0.7"};
    }
    rig.service.forget();
    auto connection = watch();
    connection->push(">STATE:1796754052,CONNECTED,SUCCESS,10.8.0.2,,,,\n");
    ASSERT_TRUE(rig.waitForState(kStateConnected));
    ASSERT_TRUE(eventually([&] { return rig.service.requests().size() >= c.onConnected.size(); }));
    letTheMonitorRun();
    EXPECT_EQ(rig.service.requests(), c.onConnected);
    EXPECT_EQ(rig.sessionCopy().carriesDns, std::string(c.pushReply).find("DNS") != std::string::npos);

    rig.service.forget();
    connection->push(">STATE:1796754070,RECONNECTING,ping-restart,,,,,\n");
    ASSERT_TRUE(rig.waitForState(kStateConnecting));
    letTheMonitorRun();
    EXPECT_EQ(rig.service.requests(), c.onReconnecting);
    EXPECT_FALSE(rig.sessionCopy().carriesDns);
    rig.ports.monitor->stopMonitor();
  }
}

TEST_F(MonitorTest, AsksForTheStateEveryFiveSecondsWhileConnectingWithTheAdapterUp) {
  rig.adapters->setTapUp(true);
  auto connection = watch();
  letTheMonitorRun();
  EXPECT_EQ(countOf(*connection, "state"), 0) << "not before five seconds have passed";

  rig.clock.advance(5000ms);
  ASSERT_TRUE(eventually([&] { return countOf(*connection, "state") == 1; }));
  letTheMonitorRun();
  EXPECT_EQ(countOf(*connection, "state"), 1) << "at most once per five seconds";
  rig.clock.advance(4999ms);
  letTheMonitorRun();
  EXPECT_EQ(countOf(*connection, "state"), 1);
  rig.clock.advance(1ms);
  ASSERT_TRUE(eventually([&] { return countOf(*connection, "state") == 2; }));

  rig.adapters->setTapUp(false);
  rig.clock.advance(20000ms);
  letTheMonitorRun();
  EXPECT_EQ(countOf(*connection, "state"), 2) << "never with the adapter down";

  rig.adapters->setTapUp(true);
  setState(kStateConnected);
  rig.clock.advance(20000ms);
  letTheMonitorRun();
  EXPECT_EQ(countOf(*connection, "state"), 2) << "never once connected";
}

TEST_F(MonitorTest, StartingAgainReplacesTheThreadAndStoppingJoinsIt) {
  auto first = watch();
  ASSERT_TRUE(rig.ports.monitor->monitorRunning());
  auto second = watch();
  EXPECT_EQ(first.use_count(), 1) << "the first thread has ended and let go of its connection";
  first->push(">STATE:1,CONNECTED,,,,,,\n");
  letTheMonitorRun();
  EXPECT_EQ(rig.ports.tunnel->currentState(), kStateConnecting) << "only the second connection is watched";
  rig.ports.monitor->stopMonitor();
  EXPECT_FALSE(rig.ports.monitor->monitorRunning());
  EXPECT_EQ(second.use_count(), 1) << "held only by this test now";
  rig.ports.monitor->stopMonitor();  // twice is harmless
}

TEST(MonitorStart, ReportsAThreadThatCannotStart) {
  test::TunnelRig rig;
  MonitorPorts ports{.tunnel = rig.ports.tunnel,
                     .killSwitch = rig.ports.killSwitch,
                     .adapters = rig.adapters,
                     .tickMs = [] { return uint64_t{0}; }};
  ports.startThread = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  ManagementMonitor monitor(ports);
  EXPECT_FALSE(monitor.startMonitor(std::make_shared<FakeManagementConnection>()));
  EXPECT_FALSE(monitor.monitorRunning());
}

}  // namespace
}  // namespace vlvpn::tunnel
