#include "desktop/tunnel/session_controller.h"

#include <gtest/gtest.h>

#include <fstream>

#include "common/file_bytes.h"
#include "common/path_bytes.h"
#include "desktop/tunnel/openvpn_launcher.h"
#include "tests/support/tunnel_rig.h"

namespace vlvpn::tunnel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Mode = test::FakeKillSwitchService::Mode;
using Commands = std::vector<std::string>;

constexpr const char* kProfile = "client\ndev tap-windows0\nproto udp\nremote vpn.example 1194\n";
const std::vector<std::chrono::milliseconds> kThreePolls{100ms, 100ms, 100ms};

class ConnectTest : public testing::Test {
 protected:
  void SetUp() override { folder = rig.saveProfile("home", kProfile); }

  Result<json> connect(const std::string& id = "home", const std::string& file = "home.ovpn",
                       const std::string& user = "alice", const std::string& password = "secret") {
    return runConnect(rig.ports, {id, file, user, password, ++rig.ports.tunnel->connectGeneration});
  }
  std::string rejection(Result<json> outcome) {
    if (outcome) {
      ADD_FAILURE() << "resolved with " << outcome.value();
      return {};
    }
    return outcome.error().message;
  }
  std::string startRequest() {
    for (const auto& request : rig.service.requests()) {
      if (request.starts_with("OPENVPN_START\t")) return request;
    }
    return {};
  }

  test::TunnelRig rig;
  std::filesystem::path folder;
};

TEST_F(ConnectTest, ThroughTheServiceHandsTheRunningOpenVpnToTheMonitor) {
  auto outcome = connect();
  ASSERT_TRUE(outcome) << outcome.error().message;
  EXPECT_EQ(outcome.value(), json({{"state", "connecting"}}));

  EXPECT_EQ(rig.service.commands(), (Commands{"DISABLE", "BLOCK_IPV6", "PING", "OPENVPN_STOP", "OPENVPN_START"}));
  EXPECT_EQ(startRequest(), "OPENVPN_START\t" + utf8FromPath(rig.openVpnPath) + "\t" +
                                buildCommandLine(folder / "home.ovpn", folder / "auth.txt", true, folder / "openvpn.log",
                                                 folder / "management.txt"));
  EXPECT_EQ(rig.clock.takeSleeps(), kThreePolls) << "the port answered on the third 100 ms poll";
  EXPECT_EQ(rig.dataFile("active.txt"), "home");
  EXPECT_EQ(rig.ports.profiles->readCredentials("home").value(), (Credentials{"alice", "secret"}));
  EXPECT_TRUE(rig.ports.tunnel->launchedViaService);
  EXPECT_TRUE(rig.ports.tunnel->sessionOwned);
  EXPECT_TRUE(rig.elevated->starts().empty());

  const auto session = rig.sessionCopy();
  EXPECT_EQ(session.profileId, "home");
  EXPECT_EQ(session.logPath, folder / "openvpn.log");
  EXPECT_EQ(session.processHandle, rig.openVpn.currentProcess());
  EXPECT_NE(session.managementSocket, nullptr);
  EXPECT_EQ(session.endpoint, (ServerEndpoint{"udp", 1194, ""}));

  // The monitor takes it from here: CONNECTED, and the IPv6 block again.
  const auto watched = rig.openVpn.connections().back();
  ASSERT_TRUE(test::eventually([&] { return !watched->commands().empty(); }));
  EXPECT_EQ(watched->commands().front(), "state on all");
  watched->push(">STATE:1796754052,CONNECTED,SUCCESS,10.8.0.2,127.0.0.1,1194,,\n");
  ASSERT_TRUE(rig.waitForState(kStateConnected));
  ASSERT_TRUE(test::eventually([&] { return rig.service.commands().size() == 6; }));
  EXPECT_EQ(rig.service.commands().back(), "BLOCK_IPV6");
}

TEST_F(ConnectTest, WithoutAServiceStartsOpenVpnElevatedWithItsWords) {
  rig.service.mode = Mode::Absent;
  ASSERT_TRUE(connect("home", "home.ovpn", "", ""));
  EXPECT_TRUE(rig.service.requests().empty()) << "an absent service is never reached";
  const auto starts = rig.elevated->starts();
  ASSERT_EQ(starts.size(), 1u);
  const auto& start = starts.front();
  EXPECT_EQ(start.program, rig.openVpnPath);
  const std::string args =
      buildCommandLine(folder / "home.ovpn", folder / "auth.txt", false, folder / "openvpn.log", folder / "management.txt");
  EXPECT_EQ(start.parameters, args) << "no auth.txt, so no credentials piece";
  ASSERT_GE(start.arguments.size(), 4u);
  EXPECT_EQ(start.arguments[0], "--config");
  EXPECT_EQ(start.arguments[1], utf8FromPath(folder / "home.ovpn"));
  EXPECT_EQ(start.arguments[2], "--log");
  EXPECT_FALSE(rig.ports.tunnel->launchedViaService);
  EXPECT_EQ(rig.clock.takeSleeps(), kThreePolls) << "no time lost on the missing service";
}

TEST_F(ConnectTest, AStoppedServiceIsStartedAndUsedWithoutWaitingOutItsPipe) {
  rig.service.mode = Mode::Stopped;
  ASSERT_TRUE(connect());
  EXPECT_EQ(rig.service.starts(), 1);
  EXPECT_EQ(rig.service.commands(), (Commands{"PING", "OPENVPN_STOP", "OPENVPN_START"}))
      << "what went before the start found no service";
  std::vector<std::chrono::milliseconds> expected(10, 200ms);  // the first PING and ten retries, 2 s
  expected.insert(expected.end(), kThreePolls.begin(), kThreePolls.end());
  EXPECT_EQ(rig.clock.takeSleeps(), expected);
  EXPECT_TRUE(rig.elevated->starts().empty()) << "never the prompt while the service is installed";

  rig.service.mode = Mode::Stopped;
  rig.service.startable = false;
  EXPECT_EQ(rejection(connect()), kServiceNotResponding);
}

TEST_F(ConnectTest, WithTheKillSwitchOnFencesTheResolvedServerBeforeLaunching) {
  rig.ports.killSwitch->killSwitchEnabled = true;
  rig.ports.killSwitch->blockIpv6Enabled = false;
  rig.network->names["vpn.example"] = {0xC6120009, 0xC612000A};
  ASSERT_TRUE(connect());
  EXPECT_EQ(rig.service.commands(),
            (Commands{"ENABLE udp 1194 1 none /opt/Velmora VPN/VLVPNDesk",
                      "ENABLE udp 1194 1 198.18.0.9,198.18.0.10 /opt/Velmora VPN/VLVPNDesk", "UNBLOCK_IPV6", "PING",
                      "OPENVPN_STOP", "OPENVPN_START"}))
      << "never a DISABLE: the set in force is replaced, with DNS, before the server is resolved";
  EXPECT_EQ(rig.dataFile("killswitch.txt"), "udp\n1194\n198.18.0.9,198.18.0.10");
  EXPECT_EQ(rig.sessionCopy().endpoint, (ServerEndpoint{"udp", 1194, "198.18.0.9,198.18.0.10"}));
}

TEST_F(ConnectTest, AnUnresolvableServerIsTriedFiveTimesAndTheConnectGoesOn) {
  rig.ports.killSwitch->killSwitchEnabled = true;
  ASSERT_TRUE(connect());
  EXPECT_EQ(rig.network->resolutions, 5);
  auto sleeps = rig.clock.takeSleeps();
  EXPECT_EQ(std::vector(sleeps.begin(), sleeps.begin() + 4), std::vector(4, 800ms)) << "3.2 s in all";
  EXPECT_EQ(rig.service.commands(), (Commands{"ENABLE udp 1194 1 none /opt/Velmora VPN/VLVPNDesk", "BLOCK_IPV6", "PING",
                                              "OPENVPN_STOP", "OPENVPN_START"}))
      << "no address known: the set is up all the same";
  EXPECT_FALSE(rig.dataFileExists("killswitch.txt"));
}

TEST_F(ConnectTest, WithTheKillSwitchOffRemembersTheServerForLater) {
  rig.network->names["vpn.example"] = {0xC6120009};
  ASSERT_TRUE(connect());
  EXPECT_EQ(rig.sessionCopy().endpoint, (ServerEndpoint{"udp", 1194, "198.18.0.9"}));
  EXPECT_EQ(rig.dataFile("killswitch.txt"), "udp\n1194\n198.18.0.9");
  EXPECT_EQ(rig.network->resolutions, 1);
}

TEST_F(ConnectTest, FallsBackToTheProfilesFirstOvpnFile) {
  for (const char* name : {"missing.ovpn", "", "..", "../home/home.ovpn"}) {
    SCOPED_TRACE(name);
    rig.service.forget();
    ASSERT_TRUE(connect("home", name));
    EXPECT_NE(startRequest().find("--config \"" + utf8FromPath(folder / "home.ovpn") + "\""), std::string::npos);
  }
  EXPECT_EQ(findConfig(folder, "home.ovpn"), folder / "home.ovpn");

  std::filesystem::remove(folder / "home.ovpn");
  std::ofstream(folder / "notes.txt") << "x";
  std::ofstream(folder / "UPPER.OVPN") << "x";  // the extension is compared exactly
  std::filesystem::create_directory(folder / "dir.ovpn");
  EXPECT_EQ(findConfig(folder, "home.ovpn"), std::nullopt);
  EXPECT_EQ(rejection(connect()), "VPN config not found for profile: home");
}

TEST_F(ConnectTest, RejectsWithASentenceForEachCauseAndLeavesTheSessionAsItWas) {
  {
    SCOPED_TRACE("no OpenVPN");
    const auto found = rig.openVpnPath;
    rig.openVpnPath.clear();
    EXPECT_EQ(rejection(connect()), "OpenVPN not found. Install OpenVPN Community from https://openvpn.net/community-downloads/");
    rig.openVpnPath = found;
  }
  {
    SCOPED_TRACE("no TAP adapter and no installer");
    rig.adapters->setTapInstalled(false);
    EXPECT_EQ(rejection(connect()), kNoTapAdapter);
    rig.adapters->setTapInstalled(true);
  }
  EXPECT_EQ(rejection(connect("../etc")), "Invalid profile identifier");
  {
    SCOPED_TRACE("the new credentials cannot be written");
    std::filesystem::create_directory(folder / "auth.txt");
    EXPECT_EQ(rejection(connect()), "Could not write auth.txt");
    EXPECT_EQ(startRequest(), "") << "never started with the old credentials";
    std::filesystem::remove(folder / "auth.txt");
  }
  {
    SCOPED_TRACE("the service refuses");
    rig.service.startReply = "ERR exe_not_allowed";
    EXPECT_EQ(rejection(connect()), "Kill-switch service could not start OpenVPN (ERR exe_not_allowed)");
    rig.service.startReply.clear();
  }
  {
    SCOPED_TRACE("the user declines the prompt");
    rig.service.mode = Mode::Absent;
    rig.elevated->error = kErrorCancelled;
    EXPECT_EQ(rejection(connect()), "Administrator access denied. Approve the UAC prompt to connect.");
  }
  const auto session = rig.sessionCopy();
  EXPECT_EQ(session.state, kStateDisconnected);
  EXPECT_EQ(session.message, "");
  EXPECT_EQ(session.profileId, "");
  EXPECT_FALSE(rig.dataFileExists("active.txt"));
  EXPECT_FALSE(rig.ports.tunnel->sessionOwned);
  EXPECT_EQ(rig.ports.tunnel->connectWorkersActive, 0) << "every way out counts the worker out";
}

TEST_F(ConnectTest, AnOpenVpnThatEndsBeforeItsPortAnswersRejectsWithItsLogsSentence) {
  rig.service.openVpnAttemptsBeforeListening = 1000;
  rig.openVpn.onConnectAttempt = [this] {
    if (!rig.openVpn.running()) return;
    std::ofstream(folder / "openvpn.log") << "AUTH: Received control message: AUTH_FAILED\n"
                                             "SIGTERM[soft,auth-failure] received, process exiting\n";
    rig.openVpn.exit();
  };
  const std::string classified = "Authentication failed - check your username and password.";
  EXPECT_EQ(rejection(connect()), classified);
  const auto session = rig.sessionCopy();
  EXPECT_EQ(session.state, kStateDisconnected);
  EXPECT_EQ(session.message, classified);
  EXPECT_EQ(session.profileId, "home") << "kept for getStatus";
  EXPECT_EQ(rig.service.commands().back(), "OPENVPN_STOP");
  EXPECT_FALSE(rig.ports.tunnel->launchedViaService);
  EXPECT_EQ(rig.dataFile("active.txt"), "home");

  rig.openVpn.onConnectAttempt = [this] { rig.openVpn.exit(); };  // and leaves no log
  EXPECT_EQ(rejection(connect()), kExitedBeforeConnecting);
  EXPECT_EQ(rig.sessionCopy().message, kExitedBeforeConnecting);
}

TEST_F(ConnectTest, AListenerThatIsNotTheLaunchedOpenVpnIsNeverTakenForIt) {
  rig.listenerOwner = 4242;  // another user's program holds the port and answers as OpenVPN would
  EXPECT_EQ(rejection(connect()), kNoManagementConnection);
  EXPECT_EQ(rig.sessionCopy().managementSocket, nullptr);
  EXPECT_FALSE(rig.ports.monitor->monitorRunning());
}

TEST_F(ConnectTest, EachConnectGivesOpenVpnAFreshPasswordOnlyTheUserMayRead) {
  const auto password = [&] { return readFileBytes(folder / "management.txt").value_or(""); };
  ASSERT_TRUE(connect());
  const std::string first = password();
  EXPECT_EQ(first.size(), 33u) << "32 digits and a line end";
  EXPECT_NE(startRequest().find("--management 127.0.0.1 11940 \"" + utf8FromPath(folder / "management.txt") + "\""),
            std::string::npos)
      << startRequest();
#ifndef _WIN32
  EXPECT_EQ(std::filesystem::status(folder / "management.txt").permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
#endif
  rig.service.forget();
  ASSERT_TRUE(connect());
  EXPECT_NE(password(), first);
}

TEST_F(ConnectTest, APortThatNeverAnswersIsGivenUpAfterFifteenSeconds) {
  rig.service.openVpnAttemptsBeforeListening = 1000;
  EXPECT_EQ(rejection(connect()), kNoManagementConnection);
  const auto sleeps = rig.clock.takeSleeps();
  EXPECT_EQ(sleeps, std::vector(150, 100ms));
  EXPECT_EQ(rig.service.commands().back(), "OPENVPN_STOP");
  EXPECT_EQ(rig.sessionCopy().message, kNoManagementConnection);
}

TEST_F(ConnectTest, WithoutAProcessHandleAskTheServiceWhetherOpenVpnStillRuns) {
  rig.ports.openProcess = [](uint32_t) { return nullptr; };
  rig.service.openVpnAttemptsBeforeListening = 1000;
  int attempts = 0;
  rig.openVpn.onConnectAttempt = [&] {
    if (++attempts == 4) rig.openVpn.exit();
  };
  EXPECT_EQ(rejection(connect()), kExitedBeforeConnecting);
  const auto commands = rig.service.commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "OPENVPN_STATUS"), 3) << "one status per pass";
}

TEST_F(ConnectTest, ANewerConnectSupersedesBeforeLaunchAndBeforeHandOver) {
  {
    SCOPED_TRACE("at step 14: nothing is launched");
    rig.service.onRequest = [this](const std::string& request) {
      if (request == "BLOCK_IPV6") ++rig.ports.tunnel->connectGeneration;
    };
    auto outcome = connect();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome.value(), json({{"state", "connecting"}, {"superseded", true}}));
    EXPECT_EQ(startRequest(), "");
    EXPECT_FALSE(rig.openVpn.running());
    rig.service.onRequest = nullptr;
  }
  {
    SCOPED_TRACE("at step 18: the new OpenVPN runs on for the newer connect to stop");
    rig.openVpn.onConnectAttempt = [this] {
      if (rig.openVpn.running()) ++rig.ports.tunnel->connectGeneration;
    };
    auto outcome = connect();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome.value(), json({{"state", "connecting"}, {"superseded", true}}));
    EXPECT_TRUE(rig.openVpn.running());
    EXPECT_EQ(rig.sessionCopy().managementSocket, nullptr);
    EXPECT_FALSE(rig.ports.monitor->monitorRunning());
  }
  {
    SCOPED_TRACE("the newer connect stops that OpenVPN in its first steps");
    rig.openVpn.onConnectAttempt = nullptr;
    const auto stray = rig.openVpn.currentProcess();
    const size_t before = rig.openVpn.connections().size();
    ASSERT_TRUE(connect());
    EXPECT_TRUE(stray->ended);
    ASSERT_GT(rig.openVpn.connections().size(), before);
    EXPECT_EQ(rig.openVpn.connections()[before]->commands(), Commands{"signal SIGTERM"});
  }
}

TEST_F(ConnectTest, ANewConnectStopsTheRecordedOpenVpnFirst) {
  ASSERT_TRUE(connect());
  const auto first = rig.openVpn.currentProcess();
  const auto firstConnection = rig.openVpn.connections().back();
  ASSERT_TRUE(connect());
  EXPECT_TRUE(first->ended);
  EXPECT_EQ(first->waits(), std::vector{2000ms});
  EXPECT_NE(rig.sessionCopy().processHandle, first);
  const auto sent = firstConnection->commands();
  EXPECT_NE(std::find(sent.begin(), sent.end(), "signal SIGTERM"), sent.end());
}

TEST_F(ConnectTest, DisconnectStopsTheTunnelAndLeavesTheFirewallAsTheSettingSays) {
  rig.ports.killSwitch->killSwitchEnabled = true;
  rig.network->names["vpn.example"] = {0xC6120009};
  rig.openVpn.setState("CONNECTED");
  ASSERT_TRUE(connect());
  ASSERT_TRUE(rig.waitForState(kStateConnected));
  ASSERT_TRUE(test::eventually([&] {
    const auto commands = rig.service.commands();
    return std::count(commands.begin(), commands.end(), "BLOCK_IPV6") == 2;
  })) << "the monitor's block on entering connected";
  const auto process = rig.openVpn.currentProcess();
  rig.service.forget();
  rig.clock.takeSleeps();

  EXPECT_EQ(runDisconnect(rig.ports), json({{"state", "disconnected"}}));
  EXPECT_TRUE(process->ended);
  EXPECT_EQ(process->waits(), std::vector{3000ms});
  EXPECT_EQ(rig.service.commands(),
            (Commands{"OPENVPN_STOP", "UNBLOCK_IPV6", "ENABLE udp 1194 0 198.18.0.9 /opt/Velmora VPN/VLVPNDesk"}))
      << "the kill switch stays, without DNS";
  const auto session = rig.sessionCopy();
  EXPECT_EQ(session.state, kStateDisconnected);
  EXPECT_EQ(session.profileId, "");
  EXPECT_EQ(session.logPath, std::filesystem::path());
  EXPECT_EQ(session.processHandle, nullptr);
  EXPECT_EQ(session.managementSocket, nullptr);
  EXPECT_EQ(session.endpoint, (ServerEndpoint{"udp", 1194, "198.18.0.9"})) << "kept for the next kill switch";
  EXPECT_FALSE(rig.dataFileExists("active.txt"));
  EXPECT_FALSE(rig.dataFileExists("killswitch.txt"));
  EXPECT_FALSE(rig.ports.monitor->monitorRunning());
  EXPECT_FALSE(rig.ports.tunnel->sessionOwned);
  EXPECT_FALSE(rig.ports.tunnel->launchedViaService);
}

TEST_F(ConnectTest, DisconnectWithoutATunnelStillCleansUp) {
  writeActiveProfile(rig.ports, "home");
  rig.ports.killSwitch->saveServerEndpoint({"udp", 1194, "198.18.0.9"});
  {
    std::lock_guard lock(rig.ports.tunnel->sessionMutex);
    rig.ports.tunnel->session.message = "an old failure";
  }
  EXPECT_EQ(runDisconnect(rig.ports), json({{"state", "disconnected"}}));
  EXPECT_EQ(rig.service.commands(), (Commands{"UNBLOCK_IPV6", "DISABLE"}));
  EXPECT_EQ(rig.clock.takeSleeps(), std::vector{50ms}) << "one look at the port, which nobody holds";
  EXPECT_FALSE(rig.dataFileExists("active.txt"));
  EXPECT_FALSE(rig.dataFileExists("killswitch.txt"));
  EXPECT_EQ(rig.sessionCopy().message, "");
}

TEST(RemoteConfig, TakesTheLastRemoteWithItsOwnPortAndTransport) {
  struct Case {
    const char* text;
    RemoteConfig remote;
  };
  const Case cases[] = {
      {"remote vpn.example 1194\nproto udp\n", {"vpn.example", 1194, "udp"}},
      {"remote a 1\r\nremote b 443\r\nproto tcp\r\nproto udp\r\n", {"b", 443, "udp"}},
      {"  remote\tspaced.example\t8443  \n", {"spaced.example", 8443, ""}},
      {"remote nopart\n", {"nopart", 0, ""}},
      {"remote host port\n", {"host", 0, ""}},
      {"#remote commented 1\n;proto tcp\nremote-random\n", {"", 0, ""}},
      {"<connection>\nremote inside 1195 tcp\n</connection>\n", {"inside", 1195, "tcp"}},
      // The remote line's own transport overrides "proto"; the spellings are OpenVPN's.
      {"proto udp\nremote h 443 tcp-client\n", {"h", 443, "tcp"}},
      {"proto tcp6-client\nremote h 443\n", {"h", 443, "tcp"}},
      {"proto udp4\nremote h 53\n", {"h", 53, "udp"}},
      {"proto udp6\nremote h 53\n", {"h", 53, "udp"}},
      {"proto tcp-server\nremote h 53\n", {"h", 53, "tcp-server"}},
      // A remote without a port takes the profile's port line.
      {"port 1195\nproto udp\nremote h\n", {"h", 1195, "udp"}},
      {"rport 8443\nremote h\n", {"h", 8443, ""}},
      {"port 1195\nremote h 443\n", {"h", 443, ""}},
      {"remote h 12ab\n", {"h", 0, ""}},
      {"", {"", 0, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(c.text)));
    EXPECT_EQ(parseRemoteConfig(c.text), c.remote);
  }
  EXPECT_EQ(readRemoteFromConfig("/nonexistent/x.ovpn"), RemoteConfig{});
}

TEST(ActiveProfile, IsTheIdentifierWithoutTrailingLineEnds) {
  test::TunnelRig rig;
  EXPECT_EQ(readActiveProfile(rig.ports), "") << "no file";
  std::filesystem::create_directories(rig.dataFolder());
  writeActiveProfile(rig.ports, "caf\xC3\xA9");
  EXPECT_EQ(rig.dataFile("active.txt"), "caf\xC3\xA9") << "raw bytes, no line end";
  std::ofstream(rig.dataFolder() / "active.txt", std::ios::binary) << "home \r\n \n";
  EXPECT_EQ(readActiveProfile(rig.ports), "home");
  removeActiveProfile(rig.ports);
  removeActiveProfile(rig.ports);
  EXPECT_FALSE(rig.dataFileExists("active.txt"));
}

}  // namespace
}  // namespace vlvpn::tunnel
