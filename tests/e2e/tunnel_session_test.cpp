// The whole stack against a real OpenVPN server: the desktop program's bridge
// and the kill-switch service in a client namespace, the server in another,
// each test with namespaces of its own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <fstream>
#include <thread>

#include "desktop/tunnel/management_access.h"
#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kAuthFailed = "Authentication failed - check your username and password.";

// Everything a user has after installing and importing a profile.
class TunnelLab {
 public:
  TunnelLab(const std::string& proto, bool serverUp = true) : vpn_(scratch_.path(), proto) {
    if (!vpn_.ready() || (serverUp && !vpn_.startServer())) return;
    service_ = std::make_unique<KillSwitchService>(scratch_.path(), vpn_.client.wrapper());
    if (!service_->waitUntilAnswering()) return;
    bridge_ = startBridge();
    ready_ = bridge_->started() && bridge_->call("saveOvpnProfile", {"home", vpn_.profile(), "home.ovpn", ""}).contains("result") &&
             bridge_->call("saveOvpnAuth", {"home", kLabUser, kLabPassword}).contains("result");
  }

  bool ready() const { return ready_; }
  BridgeClient& bridge() { return *bridge_; }
  VpnLab& vpn() { return vpn_; }
  KillSwitchService& service() { return *service_; }

  // The desktop program ended hard, as a crash or the task manager would.
  void restartBridge() {
    bridge_->child().kill();
    bridge_->child().waitForExit(10s);
    bridge_ = startBridge();
  }
  // The service ended and started again on the same endpoint and folder:
  // stopped as an update would stop it, or killed as a crash would.
  void restartService(bool hard) {
    if (hard) {
      service_->kill();
    } else {
      service_->stop();
    }
    service_ = std::make_unique<KillSwitchService>(scratch_.path(), vpn_.client.wrapper());
    service_->waitUntilAnswering();
  }
  bool dataFileExists(const std::string& name) const {
    return std::filesystem::exists(scratch_.path() / "home" / "VLVPNDesk" / name);
  }
  // The service's kill-switch table in the client namespace, "" when there is none.
  std::string killSwitchTable() const {
    return vpn_.client.run({"nft", "list", "table", "inet", "VLVPNKillSwitch"}).value_or("");
  }
  std::string openVpnLog() const {
    std::ifstream in(scratch_.path() / "home" / "VLVPNDesk" / "profiles" / "home" / "openvpn.log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::unique_ptr<BridgeClient> startBridge() {
    return std::make_unique<BridgeClient>(
        EnvironmentOverrides{{"XDG_DATA_HOME", (scratch_.path() / "home").string()},
                             {"VLVPN_KILLSWITCH_SOCKET", service_->endpoint}},
        vpn_.client.wrapper());
  }

  TempDir scratch_;
  VpnLab vpn_;
  std::unique_ptr<KillSwitchService> service_;
  std::unique_ptr<BridgeClient> bridge_;
  bool ready_ = false;
};

#define VLVPN_REQUIRE_LAB() VLVPN_REQUIRE_ENVIRONMENT(canRunVpnLab(), "needs root, network namespaces, /dev/net/tun and openvpn")

json connectHome(BridgeClient& bridge) { return bridge.call("connectOvpn", {"home", "home.ovpn", "", ""}); }

class TunnelOverEachProto : public testing::TestWithParam<std::string> {};

TEST_P(TunnelOverEachProto, ConnectsCarriesTrafficAndDisconnects) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab(GetParam());
  ASSERT_TRUE(lab.ready());
  auto& bridge = lab.bridge();

  EXPECT_EQ(connectHome(bridge), json({{"id", 3}, {"result", {{"state", "connecting"}}}}));
  const json status = bridge.waitForState("connected", 20s);
  ASSERT_EQ(status["state"], "connected") << status << "\n" << lab.openVpnLog();
  EXPECT_EQ(status["profileId"], "home");
  ASSERT_TRUE(status["pid"].is_number_unsigned());
  EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK RUNNING " + std::to_string(status["pid"].get<uint32_t>()));
  EXPECT_TRUE(lab.dataFileExists("active.txt"));

  // Traffic through the tunnel shows in the rates.
  auto ping = ChildProcess::start("/usr/sbin/ip", {"netns", "exec", lab.vpn().client.name(), "ping", "-q", "-c", "50",
                                                   "-i", "0.04", "-s", "1000", kLabServerTunnelAddress});
  bridge.call("getTrafficStats");
  double down = 0, up = 0;
  for (int sample = 0; sample < 4 && (down == 0 || up == 0); ++sample) {
    std::this_thread::sleep_for(600ms);
    const json rates = bridge.call("getTrafficStats")["result"];
    down = std::max(down, rates["downBps"].get<double>());
    up = std::max(up, rates["upBps"].get<double>());
  }
  EXPECT_GT(down, 0);
  EXPECT_GT(up, 0);
  ping->waitForExit(10s);
  const json counted = bridge.call("getStatus")["result"];
  EXPECT_GT(counted["rxBytes"].get<double>(), 50000) << counted;
  EXPECT_EQ(counted["adapterUp"], true);

  EXPECT_EQ(bridge.call("disconnect")["result"], json({{"state", "disconnected"}}));
  EXPECT_EQ(bridge.call("getStatus")["result"]["state"], "disconnected");
  EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_FALSE(lab.dataFileExists("active.txt"));
  EXPECT_FALSE(lab.dataFileExists("killswitch.txt"));
}

INSTANTIATE_TEST_SUITE_P(Udp, TunnelOverEachProto, testing::Values("udp"));
INSTANTIATE_TEST_SUITE_P(Tcp, TunnelOverEachProto, testing::Values("tcp"));

TEST(TunnelFailures, AWrongPasswordIsReportedInPlainWords) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  const json connected = lab.bridge().call("connectOvpn", {"home", "home.ovpn", kLabUser, "wrong horse"});
  // OpenVPN may have given up before its port was first polled.
  if (connected.contains("error")) {
    EXPECT_EQ(connected["error"]["message"], kAuthFailed);
  }
  const json status = lab.bridge().waitForState("disconnected", 20s);
  EXPECT_EQ(status["state"], "disconnected");
  EXPECT_EQ(status["message"], kAuthFailed) << lab.openVpnLog();
  EXPECT_EQ(status["profileId"], "home");
}

TEST(TunnelFailures, AServerThatIsDownIsReportedAsUnreachable) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("tcp", /*serverUp=*/false);
  ASSERT_TRUE(lab.ready());
  const json connected = connectHome(lab.bridge());
  if (connected.contains("error")) {
    EXPECT_EQ(connected["error"]["message"], "Could not reach the VPN server. It may be offline or blocked.");
  }
  // OpenVPN tries five times, two seconds apart, before it gives up.
  const json status = lab.bridge().waitForState("disconnected", 40s);
  EXPECT_EQ(status["message"], "Could not reach the VPN server. It may be offline or blocked.") << lab.openVpnLog();
}

TEST(TunnelFailures, AServerKilledMidSessionTakesTheStateAwayFromConnected) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("tcp");
  ASSERT_TRUE(lab.ready());
  connectHome(lab.bridge());
  ASSERT_EQ(lab.bridge().waitForState("connected", 20s)["state"], "connected");
  lab.vpn().killServer();
  json status;
  for (int attempt = 0; attempt < 200; ++attempt) {
    status = lab.bridge().call("getStatus")["result"];
    if (status["state"] != "connected") break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_NE(status["state"], "connected") << status;
  lab.bridge().call("disconnect");
}

TEST(TunnelSessions, TwoQuickConnectsLeaveTheSecondConnected) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  auto& bridge = lab.bridge();
  const int first = bridge.send("connectOvpn", {"home", "home.ovpn", "", ""});
  const int second = bridge.send("connectOvpn", {"home", "home.ovpn", "", ""});
  EXPECT_EQ(bridge.answerTo(first)["result"], json({{"state", "connecting"}, {"superseded", true}}));
  EXPECT_EQ(bridge.answerTo(second)["result"], json({{"state", "connecting"}}));
  const json status = bridge.waitForState("connected", 20s);
  EXPECT_EQ(status["state"], "connected");
  EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK RUNNING " + std::to_string(status["pid"].get<uint32_t>()))
      << "one OpenVPN, the second connect's";
  bridge.call("disconnect");
}

TEST(TunnelSessions, TheKillSwitchIsInstalledAroundTheConnectAndStaysWithoutDnsAfterADisconnect) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  auto& bridge = lab.bridge();
  EXPECT_EQ(bridge.call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
  EXPECT_EQ(lab.killSwitchTable(), "") << "nothing to fence before a connect";

  connectHome(bridge);
  ASSERT_EQ(bridge.waitForState("connected", 20s)["state"], "connected");
  const std::string during = lab.killSwitchTable();
  EXPECT_NE(during.find("ip daddr 10.231.0.1 udp dport 1194 accept"), std::string::npos) << during;
  EXPECT_NE(during.find("dport 53 accept"), std::string::npos) << "DNS allowed while connecting";
  EXPECT_TRUE(lab.vpn().client.run({"ping", "-c", "1", "-W", "2", kLabServerTunnelAddress})) << "the tunnel carries traffic";

  bridge.call("disconnect");
  const std::string after = lab.killSwitchTable();
  EXPECT_NE(after.find("ip daddr 10.231.0.1 udp dport 1194 accept"), std::string::npos) << after;
  EXPECT_EQ(after.find("dport 53"), std::string::npos) << "no DNS once disconnected";

  bridge.call("setKillSwitchEnabled", {false});
  EXPECT_EQ(lab.killSwitchTable(), "");
}

// Running and not a zombie waiting for its parent.
bool processRuns(uint32_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), {});
  const size_t end = stat.rfind(')');
  return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] != 'Z' && stat[end + 2] != 'X';
}

TEST(TunnelSessions, TheNextConnectWorksAfterTheServiceRestartedUnderAHeldTunnel) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  auto& bridge = lab.bridge();
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "killed" : "stopped");
    connectHome(bridge);
    const json held = bridge.waitForState("connected", 20s);
    ASSERT_EQ(held["state"], "connected");
    const uint32_t heldPid = held["pid"].get<uint32_t>();

    lab.restartService(hard);
    ASSERT_EQ(lab.service().request("PING"), "PONG");
    EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK STOPPED") << "the new service started no OpenVPN";

    connectHome(bridge);
    const json next = bridge.waitForState("connected", 20s);
    ASSERT_EQ(next["state"], "connected") << next;
    const uint32_t nextPid = next["pid"].get<uint32_t>();
    EXPECT_NE(nextPid, heldPid);
    EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK RUNNING " + std::to_string(nextPid));
    EXPECT_FALSE(processRuns(heldPid)) << "the OpenVPN the old service left behind was stopped";
    EXPECT_TRUE(lab.vpn().client.run({"ping", "-c", "1", "-W", "2", kLabServerTunnelAddress})) << "the tunnel carries traffic";

    EXPECT_EQ(bridge.call("disconnect")["result"], json({{"state", "disconnected"}}));
    EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK STOPPED");
  }
}

TEST(TunnelSessions, ARestartedDesktopProgramAdoptsTheTunnelAndCanDisconnectIt) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  connectHome(lab.bridge());
  const json before = lab.bridge().waitForState("connected", 20s);
  ASSERT_EQ(before["state"], "connected");

  lab.restartBridge();
  const json adopted = lab.bridge().call("getStatus")["result"];
  EXPECT_EQ(adopted["state"], "connected");
  EXPECT_EQ(adopted["pid"], before["pid"]);
  EXPECT_EQ(adopted["profileId"], "home");
  EXPECT_EQ(lab.bridge().call("getHelperInfo")["result"]["reachable"], true);

  EXPECT_EQ(lab.bridge().call("disconnect")["result"], json({{"state", "disconnected"}}));
  EXPECT_EQ(lab.service().request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_FALSE(lab.dataFileExists("active.txt"));
}

sockaddr_in managementAddress() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(11940);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

TEST(ManagementListener, BelongsToTheProcessWhoseDescriptorHoldsIt) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make a network namespace");
  NetworkNamespace space("listener");
  ASSERT_TRUE(space.runInside([&] {
    EXPECT_FALSE(tunnel::managementListenerBelongsTo(static_cast<uint32_t>(::getpid()), 11940)) << "no listener yet";
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in local = managementAddress();
    ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    ASSERT_EQ(::listen(listener.get(), 1), 0);
    EXPECT_TRUE(tunnel::managementListenerBelongsTo(static_cast<uint32_t>(::getpid()), 11940));
    EXPECT_FALSE(tunnel::managementListenerBelongsTo(1, 11940)) << "init holds no such descriptor";
  }));
}

// What any local user's program meets on OpenVPN's management port.
struct PortProbe {
  std::string greeting, answer;
};

PortProbe probeManagementPort(const NetworkNamespace& space) {
  PortProbe probe;
  UniqueFd fd = space.socket(AF_INET, SOCK_STREAM);
  const sockaddr_in to = managementAddress();
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) return probe;
  const auto readFor = [&](std::string& text, int ms) {
    char buffer[1024];
    pollfd entry{fd.get(), POLLIN, 0};
    while (::poll(&entry, 1, ms) > 0) {
      const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
      if (n <= 0) break;
      text.append(buffer, static_cast<size_t>(n));
    }
  };
  readFor(probe.greeting, 1000);
  const std::string commands = "state\r\nlog all\r\nsignal SIGTERM\r\n";
  ::send(fd.get(), commands.data(), commands.size(), MSG_NOSIGNAL);
  readFor(probe.answer, 1000);
  return probe;
}

// With no desktop program attached (it ended, the tunnel runs on), another
// user's program gets a password prompt and nothing else: neither the
// session's log nor a signal. The program itself still adopts its tunnel.
TEST(TunnelSessions, TheManagementPortTellsAndTakesNothingWithoutThePassword) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  lab.bridge().call("connectOvpn", {"home", "home.ovpn", "", ""});
  ASSERT_EQ(lab.bridge().waitForState("connected", 20s)["state"], "connected");
  lab.bridge().child().kill();
  lab.bridge().child().waitForExit(10s);

  const PortProbe probe = probeManagementPort(lab.vpn().client);
  EXPECT_NE(probe.greeting.find("ENTER PASSWORD:"), std::string::npos) << probe.greeting;
  EXPECT_EQ(probe.greeting.find(">INFO"), std::string::npos) << probe.greeting;
  EXPECT_EQ(probe.answer.find("CONNECTED"), std::string::npos) << probe.answer;
  EXPECT_EQ(probe.answer.find("SUCCESS"), std::string::npos) << "no command taken: " << probe.answer;

  lab.restartBridge();
  const json adopted = lab.bridge().call("getStatus")["result"];
  EXPECT_EQ(adopted["state"], "connected") << "adopted with the session's password: " << adopted;
  EXPECT_EQ(lab.bridge().call("disconnect")["result"]["state"], "disconnected");
}

// Another user's program holding the port and answering as OpenVPN would is
// never taken for a tunnel: not adopted, and not mistaken for the OpenVPN a
// connect starts (which cannot have the port then, and says so).
TEST(TunnelSessions, ASquatterOnTheManagementPortIsNoTunnel) {
  VLVPN_REQUIRE_LAB();
  TunnelLab lab("udp");
  ASSERT_TRUE(lab.ready());
  UniqueFd listener = lab.vpn().client.socket(AF_INET, SOCK_STREAM);
  const sockaddr_in local = managementAddress();
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
  ASSERT_EQ(::listen(listener.get(), 8), 0);
  std::atomic<bool> stop{false};
  std::thread squatter([&] {
    while (!stop) {
      pollfd entry{listener.get(), POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
      const std::string lies = ">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n"
                               "1796754052,CONNECTED,SUCCESS,10.8.0.2,10.231.0.1,1194,,\r\nEND\r\n";
      ::send(client.get(), lies.data(), lies.size(), MSG_NOSIGNAL);
      std::this_thread::sleep_for(200ms);
      ::send(client.get(), lies.data(), lies.size(), MSG_NOSIGNAL);
    }
  });
  EXPECT_EQ(lab.bridge().call("getStatus")["result"]["state"], "disconnected") << "not adopted";
  const json connect = lab.bridge().call("connectOvpn", {"home", "home.ovpn", "", ""});
  EXPECT_TRUE(connect.contains("error")) << connect;
  EXPECT_EQ(lab.bridge().call("getStatus")["result"]["state"], "disconnected");
  stop = true;
  squatter.join();
}

}  // namespace
}  // namespace vlvpn::test
