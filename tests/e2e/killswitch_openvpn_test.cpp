// The Linux service starting, reporting and stopping the real OpenVPN, inside
// a network namespace of the test's own (the management port is fixed).
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "common/openvpn_arguments.h"
#include "desktop/killswitch/service_client.h"
#include "desktop/tunnel/tunnel_process.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/network_namespace.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

constexpr const char* kOpenVpn = "/usr/sbin/openvpn";

// A peer-to-peer profile without keys or a tunnel device, which keeps waiting
// for a peer that is not there.
constexpr const char* kProfile =
    "ignore-unknown-option windows-driver\n"
    "dev null\n"
    "proto udp\n"
    "remote 127.0.0.1 1194\n"
    "nobind\n";

bool waitForLogLine(const std::filesystem::path& log, const std::string& text) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::ifstream in(log);
    const std::string content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (content.find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool processExists(const std::string& pid) { return ::kill(std::stoi(pid), 0) == 0; }

TEST(KillSwitchOpenVpn, StartsReportsReplacesAndStopsTheRealOpenVpn) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  VLVPN_REQUIRE_ENVIRONMENT(std::filesystem::exists(kOpenVpn), "needs Debian's openvpn");
  NetworkNamespace space("openvpn");
  TempDir scratch;
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "p.ovpn") << kProfile;
  const std::string args =
      formatOpenVpnArguments({(profile / "p.ovpn").string(), std::nullopt, (profile / "openvpn.log").string()});

  KillSwitchService service(scratch.path(), space.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());

  const std::string first = service.request(std::string("OPENVPN_START\t") + kOpenVpn + "\t" + args);
  ASSERT_TRUE(first.starts_with("OK ")) << first << "\n" << service.logText();
  const std::string firstPid = first.substr(3);
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + firstPid);

  const std::string second = service.request(std::string("OPENVPN_START\t") + kOpenVpn + "\t" + args);
  ASSERT_TRUE(second.starts_with("OK ")) << second;
  EXPECT_NE(second, first);
  EXPECT_FALSE(processExists(firstPid)) << "the first OpenVPN was ended before the second started";
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + second.substr(3));

  EXPECT_TRUE(waitForLogLine(profile / "openvpn.log", "UDPv4 link remote")) << "the real OpenVPN runs on the profile";

  EXPECT_EQ(service.request("OPENVPN_START\t/bin/sh\t" + args), "ERR exe_not_allowed");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + second.substr(3)) << "a refusal leaves it running";

  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK STOPPED");
  EXPECT_FALSE(processExists(second.substr(3)));
  EXPECT_TRUE(std::filesystem::exists(service.dataFolder / "openvpn-stderr.log"));

  // The service's stop ends a running OpenVPN too.
  const std::string third = service.request(std::string("OPENVPN_START\t") + kOpenVpn + "\t" + args);
  ASSERT_TRUE(third.starts_with("OK ")) << third;
  EXPECT_EQ(service.stop(), 0);
  EXPECT_FALSE(processExists(third.substr(3)));
}

TEST(KillSwitchOpenVpn, ASecondStartWithCredentialsConnects) {
  // The client's retry path starts again without a stop in between: ending
  // the first OpenVPN must leave the second its credentials.
  VLVPN_REQUIRE_ENVIRONMENT(canRunVpnLab(), "needs root, network namespaces, /dev/net/tun and openvpn");
  TempDir scratch;
  VpnLab lab(scratch.path(), "udp");
  ASSERT_TRUE(lab.ready());
  ASSERT_TRUE(lab.startServer());
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "lab";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "lab.ovpn") << lab.profile();
  std::ofstream(profile / "auth.txt") << kLabUser << "\n" << kLabPassword << "\n";
  const std::string args = formatOpenVpnArguments(
      {(profile / "lab.ovpn").string(), (profile / "auth.txt").string(), (profile / "openvpn.log").string()});

  KillSwitchService service(scratch.path(), lab.client.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());
  const std::string first = service.request(std::string("OPENVPN_START\t") + kOpenVpn + "\t" + args);
  ASSERT_TRUE(first.starts_with("OK ")) << first << "\n" << service.logText();
  const std::string second = service.request(std::string("OPENVPN_START\t") + kOpenVpn + "\t" + args);
  ASSERT_TRUE(second.starts_with("OK ")) << second << "\n" << service.logText();

  bool connected = false;
  for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
    connected = waitForLogLine(profile / "openvpn.log", "Initialization Sequence Completed");
  }
  std::ifstream in(profile / "openvpn.log");
  const std::string log{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_TRUE(connected) << log;
  EXPECT_EQ(log.find("auth-user-pass"), std::string::npos) << log;
  EXPECT_EQ(service.request("OPENVPN_STATUS"), "OK RUNNING " + second.substr(3));
  EXPECT_EQ(service.request("OPENVPN_STOP"), "OK");
}

}  // namespace
}  // namespace vlvpn::test

namespace vlvpn::test {
namespace {

TEST(ServiceClientAgainstTheService, ExchangesRequestsAndGetsTheOpenVpnProcess) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace space("client");
  TempDir scratch;
  const auto profile = scratch.path() / "home" / "VLVPNDesk" / "profiles" / "p";
  std::filesystem::create_directories(profile);
  std::ofstream(profile / "p.ovpn") << kProfile;
  std::ofstream(profile / "auth.txt") << "u\np\n";
  KillSwitchService service(scratch.path(), space.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());

  ::setenv("VLVPN_KILLSWITCH_SOCKET", service.endpoint.c_str(), 1);
  killswitch::ServiceClient client(killswitch::ServicePipe::create(), killswitch::ServiceManager::create());
  EXPECT_TRUE(killswitch::serviceAnswersPing(client.transact("PING")));
  EXPECT_EQ(client.transact("ENABLE udp 1194 1 198.18.0.9 /opt/Velmora VPN/VLVPNDesk"), "OK");
  EXPECT_EQ(client.transact("DISABLE"), "OK");
  EXPECT_NE(service.logText().find(" ENABLE udp 1194 1 198.18.0.9 /opt/Velmora VPN/VLVPNDesk -> OK\r\n"),
            std::string::npos);

  const std::string args = formatOpenVpnArguments(
      {(profile / "p.ovpn").string(), (profile / "auth.txt").string(), (profile / "openvpn.log").string()});
  auto started = client.startOpenVpnViaService(kOpenVpn, args);
  ASSERT_EQ(started.kind, killswitch::StartOutcome::Kind::Started) << started.error << service.logText();
  const auto process = tunnel::openTunnelProcess(started.pid);
  ASSERT_TRUE(process);
  EXPECT_FALSE(process->hasEnded());
  EXPECT_EQ(client.transact("OPENVPN_STATUS"), "OK RUNNING " + std::to_string(process->pid()));
  EXPECT_EQ(client.transact("OPENVPN_STOP"), "OK");
  EXPECT_TRUE(process->hasEnded());

  auto refused = client.startOpenVpnViaService("/bin/sh", args);
  EXPECT_EQ(refused.kind, killswitch::StartOutcome::Kind::Refused);
  EXPECT_EQ(refused.error, "Kill-switch service could not start OpenVPN (ERR exe_not_allowed)");
  EXPECT_EQ(service.stop(), 0);
  EXPECT_EQ(client.transact("PING"), "") << "a stopped service gives an empty reply at once";
}

}  // namespace
}  // namespace vlvpn::test
