// The Linux service's firewall tables, for real, inside network namespaces
// the test makes: "client" runs the service, "server" answers on two addresses.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vlvpn::test
