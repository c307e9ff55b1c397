// The Linux service's firewall tables, for real, inside network namespaces
// the test makes: "client" runs the service, "server" answers on two addresses.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <utility>

#include "service/nftables_runner_posix.h"
#include "tests/support/killswitch_service.h"
#include "tests/support/network_namespace.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

constexpr uint16_t kPort = 8443;

UniqueFd listenOn(const NetworkNamespace& space, uint16_t port) {
  UniqueFd fd = space.socket(AF_INET, SOCK_STREAM);
  const int on = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(port);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 || ::listen(fd.get(), 16) != 0) return {};
  return fd;
}

std::string tables(const NetworkNamespace& space) { return space.run({"nft", "list", "tables"}).value_or("?"); }

TEST(KillSwitchFirewall, TablesComeAndGoAndOnlyTheServerPasses) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("client"), server("server");
  ASSERT_TRUE(connectNamespaces(client, {"198.18.0.1/24"}, server, {"198.18.0.2/24", "198.18.0.3/24"}));
  UniqueFd listener = listenOn(server, kPort);
  ASSERT_TRUE(listener);
  ASSERT_TRUE(tcpConnects(client, "198.18.0.3", kPort, 2000)) << "reachable before the kill switch";

  TempDir scratch;
  KillSwitchService service(scratch.path(), client.wrapper());
  ASSERT_TRUE(service.waitUntilAnswering());

  ASSERT_EQ(service.request("ENABLE tcp " + std::to_string(kPort) + " 0 198.18.0.2"), "OK");
  EXPECT_NE(tables(client).find("table inet VLVPNKillSwitch"), std::string::npos);
  EXPECT_TRUE(tcpConnects(client, "198.18.0.2", kPort, 2000)) << "the server's address passes";
  EXPECT_FALSE(tcpConnects(client, "198.18.0.3", kPort, 300)) << "any other address is dropped";
  EXPECT_FALSE(tcpConnects(client, "198.18.0.2", kPort + 1, 300)) << "other ports of the server too";

  ASSERT_EQ(service.request("DISABLE"), "OK");
  EXPECT_EQ(tables(client).find("VLVPNKillSwitch"), std::string::npos);
  EXPECT_TRUE(tcpConnects(client, "198.18.0.3", kPort, 2000));

  ASSERT_EQ(service.request("BLOCK_IPV6"), "OK");
  EXPECT_NE(tables(client).find("table inet VLVPNIpv6Block"), std::string::npos);
  EXPECT_TRUE(tcpConnects(client, "198.18.0.3", kPort, 2000)) << "IPv4 is not touched by the IPv6 block";
  ASSERT_EQ(service.request("UNBLOCK_IPV6"), "OK");
  EXPECT_EQ(tables(client).find("VLVPNIpv6Block"), std::string::npos);

  // Both sets on, then the service stops: nothing stays behind.
  ASSERT_EQ(service.request("ENABLE udp 1194 1 198.18.0.2"), "OK");
  ASSERT_EQ(service.request("BLOCK_IPV6"), "OK");
  EXPECT_EQ(service.stop(), 0);
  EXPECT_EQ(tables(client), "");
  EXPECT_TRUE(tcpConnects(client, "198.18.0.3", kPort, 2000));
}

// The real libnftables, with a batch made to fail on request: a rule for a
// chain that is not there, after everything the engine asked for, so the
// kernel sees the whole replacement and must take none of it.
class FailingRunner : public service::NftablesRunner {
 public:
  bool failNext = false;
  uint32_t run(const std::string& script) override {
    if (!std::exchange(failNext, false)) return real_->run(script);
    return real_->run(script + "add rule inet VLVPNKillSwitch no_such_chain accept\n" +
                      "add rule inet VLVPNIpv6Block no_such_chain accept\n");
  }

 private:
  std::unique_ptr<service::NftablesRunner> real_ = service::NftablesRunner::create();
};

TEST(KillSwitchFirewall, AFailedReplacementKeepsTheTableInForce) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("client"), server("server");
  ASSERT_TRUE(connectNamespaces(client, {"198.18.0.1/24"}, server, {"198.18.0.2/24", "198.18.0.3/24"}));
  UniqueFd listener = listenOn(server, kPort);
  ASSERT_TRUE(listener);
  const auto table = [&](const char* name) { return client.run({"nft", "list", "table", "inet", name}); };

  ASSERT_TRUE(client.runInside([&] {
    auto* runner = new FailingRunner;
    auto engine = service::createNftablesEngine(std::unique_ptr<service::NftablesRunner>(runner));
    ASSERT_EQ(engine->enableKillSwitch({"tcp", kPort, false, {0xC6120002}, ""}), 0u);
    ASSERT_EQ(engine->blockIpv6(), 0u);
    const auto killSwitch = table("VLVPNKillSwitch");
    const auto ipv6Block = table("VLVPNIpv6Block");
    ASSERT_TRUE(killSwitch && ipv6Block);

    runner->failNext = true;
    EXPECT_NE(engine->enableKillSwitch({"udp", 1194, true, {0xC6120003}, ""}), 0u);
    EXPECT_EQ(table("VLVPNKillSwitch"), killSwitch) << "the set in force, unchanged";
    EXPECT_TRUE(tcpConnects(client, "198.18.0.2", kPort, 2000)) << "its server still passes";
    EXPECT_FALSE(tcpConnects(client, "198.18.0.3", kPort, 300)) << "and nothing else does";

    runner->failNext = true;
    EXPECT_NE(engine->blockIpv6(), 0u);
    EXPECT_EQ(table("VLVPNIpv6Block"), ipv6Block);

    EXPECT_EQ(engine->enableKillSwitch({"tcp", kPort, false, {0xC6120003}, ""}), 0u) << "the next one goes through";
    EXPECT_TRUE(tcpConnects(client, "198.18.0.3", kPort, 2000));
    EXPECT_FALSE(tcpConnects(client, "198.18.0.2", kPort, 300));
  }));
  EXPECT_EQ(tables(client), "") << "the tables went with the engine's context";
}

}  // namespace
}  // namespace vlvpn::test
