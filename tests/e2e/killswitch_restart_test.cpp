// The kill switch across the service's restarts and crashes. The sets live
// exactly as long as the service's process; the desktop program knows what
// the user asked for and puts it back within seconds of a service answering
// again, connected or not, and lets it go again when asked. No OpenVPN the
// service started holds on to the service's tables.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/support/bridge_client.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"
#include "tests/support/vpn_lab.h"

namespace vlvpn::test {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kNetlinkNetfilter = 12;  // NETLINK_NETFILTER, the protocol nftables speaks

bool datagramGetsOut(const NetworkNamespace& space) {
  UniqueFd fd = space.socket(AF_INET, SOCK_DGRAM);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(9);
  inet_pton(AF_INET, kLabServerAddress, &to.sin_addr);
  return ::sendto(fd.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 1;
}

bool killSwitchTableIn(const NetworkNamespace& space) {
  const auto tables = space.run({"nft", "list", "tables"});
  return tables && tables->find("inet VLVPNKillSwitch") != std::string::npos;
}

// How long after `since` the kill switch was in force again (table there and
// an ordinary datagram refused), or nullopt when not within `limit`.
std::optional<std::chrono::milliseconds> backInForce(const NetworkNamespace& space, Clock::time_point since,
                                                     std::chrono::milliseconds limit) {
  while (Clock::now() - since < limit) {
    if (killSwitchTableIn(space) && !datagramGetsOut(space)) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since);
    }
    std::this_thread::sleep_for(20ms);
  }
  return std::nullopt;
}

bool eventuallyOpen(const NetworkNamespace& space) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!killSwitchTableIn(space) && datagramGetsOut(space)) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

// The netlink protocols of the sockets a process holds, read from its own
// descriptors and its network namespace's netlink table.
std::set<int> netlinkProtocolsHeldBy(uint32_t pid) {
  std::map<std::string, int> protocolOfInode;
  std::ifstream table("/proc/" + std::to_string(pid) + "/net/netlink");
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string sk, inode;
    int protocol = -1;
    fields >> sk >> protocol;
    for (int skipped = 0; skipped < 7; ++skipped) fields >> inode;  // Pid Groups Rmem Wmem Dump Locks Drops
    fields >> inode;
    protocolOfInode[inode] = protocol;
  }
  std::set<int> held;
  const auto fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (error || !target.starts_with("socket:[")) continue;
    const auto found = protocolOfInode.find(target.substr(8, target.size() - 9));
    if (found != protocolOfInode.end()) held.insert(found->second);
  }
  return held;
}

class RestartLab {
 public:
  RestartLab() : vpn_(scratch_.path(), "udp") {
    if (!vpn_.ready() || !vpn_.startServer()) return;
    startService();
    if (!service_->waitUntilAnswering()) return;
    bridge_ = std::make_unique<BridgeClient>(
        EnvironmentOverrides{{"XDG_DATA_HOME", (scratch_.path() / "home").string()},
                             {"VLVPN_KILLSWITCH_SOCKET", service_->endpoint}},
        vpn_.client.wrapper());
    ready_ = bridge_->started() &&
             bridge_->call("saveOvpnProfile", {"home", vpn_.profile(), "home.ovpn", ""}).contains("result") &&
             bridge_->call("saveOvpnAuth", {"home", kLabUser, kLabPassword}).contains("result") &&
             bridge_->call("setKillSwitchEnabled", {true})["result"] == json({{"enabled", true}});
  }

  bool ready() const { return ready_; }
  BridgeClient& bridge() { return *bridge_; }
  const NetworkNamespace& client() const { return vpn_.client; }
  KillSwitchService& service() { return *service_; }

  void startService() {
    service_.reset();
    service_ = std::make_unique<KillSwitchService>(scratch_.path(), vpn_.client.wrapper());
  }
  // Starts the service again; the moment it answered.
  std::optional<Clock::time_point> restartService() {
    startService();
    if (!service_->waitUntilAnswering()) return std::nullopt;
    return Clock::now();
  }
  bool connect() {
    bridge_->call("connectOvpn", {"home", "home.ovpn", "", ""});
    return bridge_->waitForState("connected", 20s)["state"] == "connected";
  }

 private:
  TempDir scratch_;
  VpnLab vpn_;
  std::unique_ptr<KillSwitchService> service_;
  std::unique_ptr<BridgeClient> bridge_;
  bool ready_ = false;
};

void report(const char* when, std::chrono::milliseconds back) {
  std::printf("kill switch back after the service answered again, %-40s %5lld ms\n", when,
              static_cast<long long>(back.count()));
  testing::Test::RecordProperty(when, std::to_string(back.count()) + " ms");
}

TEST(KillSwitchRestarts, TheKillSwitchComesBackWithinThreeSecondsOfTheServiceAnsweringAgain) {
  VLVPN_REQUIRE_ENVIRONMENT(canRunVpnLab(), "needs root, network namespaces, /dev/net/tun and openvpn");
  RestartLab lab;
  ASSERT_TRUE(lab.ready());
  ASSERT_TRUE(lab.connect());
  ASSERT_TRUE(backInForce(lab.client(), Clock::now(), 3s)) << "connected with the kill switch on";

  {
    SCOPED_TRACE("stopped and started while connected");
    ASSERT_EQ(lab.service().stop(), 0);
    EXPECT_FALSE(killSwitchTableIn(lab.client())) << "the sets end with the service";
    const auto answering = lab.restartService();
    ASSERT_TRUE(answering);
    const auto back = backInForce(lab.client(), *answering, 3s);
    ASSERT_TRUE(back) << "the kill switch stays off";
    report("(stopped and started while connected)", *back);
  }
  {
    SCOPED_TRACE("killed while disconnected");
    lab.bridge().call("disconnect");
    ASSERT_TRUE(backInForce(lab.client(), Clock::now(), 3s)) << "disconnected, the kill switch stays on";
    lab.service().kill();
    const auto answering = lab.restartService();
    ASSERT_TRUE(answering);
    const auto back = backInForce(lab.client(), *answering, 3s);
    ASSERT_TRUE(back);
    report("(killed while disconnected)", *back);
  }
  {
    SCOPED_TRACE("killed while OpenVPN runs");
    ASSERT_TRUE(lab.connect());
    const json status = lab.bridge().call("getStatus")["result"];
    ASSERT_TRUE(status.contains("pid")) << status;
    const auto openVpn = status["pid"].get<uint32_t>();
    EXPECT_EQ(netlinkProtocolsHeldBy(openVpn).count(kNetlinkNetfilter), 0u)
        << "OpenVPN holds no nftables socket of the service's";
    lab.service().kill();
    ASSERT_EQ(::kill(static_cast<pid_t>(openVpn), 0), 0) << "OpenVPN outlives the service";
    const auto answering = lab.restartService();
    ASSERT_TRUE(answering);
    const auto back = backInForce(lab.client(), *answering, 3s);
    ASSERT_TRUE(back) << lab.service().logText() << *lab.client().run({"nft", "list", "ruleset"});
    report("(killed while connected)", *back);

    // The restarted service owns the sets it put back: off opens the
    // machine, on closes it again.
    EXPECT_EQ(lab.bridge().call("setKillSwitchEnabled", {false})["result"], json({{"enabled", false}}));
    EXPECT_TRUE(eventuallyOpen(lab.client())) << "turning the kill switch off opens the machine";
    EXPECT_EQ(lab.bridge().call("setKillSwitchEnabled", {true})["result"], json({{"enabled", true}}));
    EXPECT_TRUE(backInForce(lab.client(), Clock::now(), 3s)) << "and on closes it";
    lab.bridge().call("disconnect");
  }
}

}  // namespace
}  // namespace vlvpn::test
