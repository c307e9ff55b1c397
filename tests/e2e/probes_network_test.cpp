// The probes and adapter queries against real interfaces, inside network
// namespaces the test makes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>

#include <functional>
#include <thread>

#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/probes.h"
#include "tests/support/network_namespace.h"
#include "tests/support/test_environment.h"

namespace vlvpn::test {
namespace {

// Runs `work` on a thread that has joined the namespace.
void inNamespace(const NetworkNamespace& space, const std::function<void()>& work) {
  std::thread([&] {
    UniqueFd handle(::open(("/run/netns/" + space.name()).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(handle && setns(handle.get(), CLONE_NEWNET) == 0);
    work();
  }).join();
}

TEST(ProbesOnRealSockets, TcpLatencyCountsAnswersAndRefusals) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace space("probe");
  // Without echo replies the TCP fallback decides.
  ASSERT_TRUE(space.run({"sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=1"}));
  UniqueFd listener = space.socket(AF_INET, SOCK_STREAM);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(8443);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);

  inNamespace(space, [] {
    auto network = tunnel::NetworkProbe::create();
    EXPECT_GE(tunnel::measureTcpLatency(*network, "127.0.0.1", 8443), 1) << "an accepting port";
    EXPECT_GE(tunnel::measureTcpLatency(*network, "127.0.0.1", 9999), 1) << "a refusing port answers too";
    EXPECT_EQ(tunnel::measureTcpLatency(*network, "198.51.100.7", 8443), 0) << "no route: nothing answers";
    EXPECT_EQ(tunnel::resolveIpv4List(*network, "127.0.0.1"), "127.0.0.1");
  });
}

TEST(ProbesOnRealSockets, PingsFromTheTunnelAdapterAndReadsItsCounters) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace client("tunnel"), peer("peer");
  // A veth end named like the tunnel adapter stands in for it; the peer answers.
  ASSERT_TRUE(runCapturingOutputOk({"ip", "link", "add", "tap-windows0", "netns", client.name(), "type", "veth", "peer",
                                    "name", "peer0", "netns", peer.name()}));
  ASSERT_TRUE(client.run({"ip", "addr", "add", "198.18.9.1/24", "dev", "tap-windows0"}));
  ASSERT_TRUE(peer.run({"ip", "addr", "add", "198.18.9.2/24", "dev", "peer0"}));
  ASSERT_TRUE(peer.run({"ip", "link", "set", "peer0", "up"}));

  inNamespace(client, [&] {
    auto adapters = tunnel::AdapterQuery::create();
    auto network = tunnel::NetworkProbe::create();
    EXPECT_TRUE(tunnel::isTapAdapterInstalled(adapters->adapters()));
    EXPECT_FALSE(tunnel::findUpTapAdapter(adapters->adapters())) << "down until brought up";
    EXPECT_EQ(tunnel::pingThroughTunnel(*adapters, *network, "198.18.9.2", 1000)["reason"], "no_tunnel_adapter");

    ASSERT_TRUE(client.run({"ip", "link", "set", "tap-windows0", "up"}));
    for (int i = 0; i < 50 && !tunnel::findUpTapAdapter(adapters->adapters()); ++i) usleep(20000);
    const auto luid = tunnel::findUpTapAdapter(adapters->adapters());
    ASSERT_TRUE(luid);
    EXPECT_EQ(tunnel::tapAdapterIpv4Address(adapters->adapters()), 0xC6120901u);
    const auto before = adapters->counters(*luid);
    ASSERT_TRUE(before);

    const auto ping = tunnel::pingThroughTunnel(*adapters, *network, "198.18.9.2", 2000);
    EXPECT_EQ(ping["ok"], true) << ping;
    EXPECT_EQ(tunnel::pingThroughTunnel(*adapters, *network, "vpn.example", 2000)["reason"], "bad_host");
    const auto after = adapters->counters(*luid);
    ASSERT_TRUE(after);
    EXPECT_GT(after->outOctets, before->outOctets);
    EXPECT_GT(after->inOctets, before->inOctets);
  });
}

TEST(ProbesOnRealSockets, AnIdleTunDeviceIsInstalledButNotUp) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace space("tun");
  ASSERT_TRUE(space.run({"ip", "tuntap", "add", "dev", "tap-windows0", "mode", "tun"}));
  ASSERT_TRUE(space.run({"ip", "link", "set", "tap-windows0", "up"}));
  ASSERT_TRUE(space.run({"ip", "link", "add", "eth-test", "type", "veth", "peer", "name", "eth-peer"}));
  ASSERT_TRUE(space.run({"ip", "link", "set", "eth-peer", "up"}));
  inNamespace(space, [&] {
    auto adapters = tunnel::AdapterQuery::create();
    EXPECT_TRUE(tunnel::isTapAdapterInstalled(adapters->adapters()));
    EXPECT_FALSE(tunnel::findUpTapAdapter(adapters->adapters())) << "administratively up, but no OpenVPN behind it";
    EXPECT_FALSE(tunnel::isPhysicalLinkUp(adapters->adapters()));
    ASSERT_TRUE(space.run({"ip", "link", "set", "eth-test", "up"}));
    // The kernel reports the operational state a moment after the link comes up.
    for (int i = 0; i < 100 && !tunnel::isPhysicalLinkUp(adapters->adapters()); ++i) usleep(20000);
    EXPECT_TRUE(tunnel::isPhysicalLinkUp(adapters->adapters())) << "Ethernet-type links that are up";
  });
}

TEST(ProbesOnRealSockets, ListsEveryInterfaceOnceInIndexOrderWithItsAddresses) {
  VLVPN_REQUIRE_ENVIRONMENT(canMakeNetworkNamespaces(), "needs root to make network namespaces");
  NetworkNamespace space("many");
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(space.run({"ip", "tuntap", "add", "dev", "tun" + std::to_string(i), "mode", "tun"}));
  ASSERT_TRUE(space.run({"ip", "link", "add", "eth-a", "type", "veth", "peer", "name", "eth-b"}));
  ASSERT_TRUE(space.run({"ip", "addr", "add", "198.18.7.1/24", "dev", "eth-a"}));
  ASSERT_TRUE(space.run({"ip", "addr", "add", "198.18.8.1/24", "dev", "eth-a"}));
  ASSERT_TRUE(space.run({"ip", "addr", "add", "10.9.0.1", "peer", "10.9.0.2", "dev", "tun3"}));
  inNamespace(space, [&] {
    auto query = tunnel::AdapterQuery::create();
    const auto adapters = query->adapters();
    ASSERT_TRUE(adapters);
    ASSERT_EQ(adapters->size(), 23u) << "lo, 20 tun devices and the veth pair";
    std::map<std::string, tunnel::AdapterInfo> byName;
    for (size_t i = 0; i < adapters->size(); ++i) {
      const auto& adapter = (*adapters)[i];
      ASSERT_TRUE(adapter.description);
      if (i > 0) {
        EXPECT_LT((*adapters)[i - 1].luid, adapter.luid) << "in index order";
      }
      EXPECT_TRUE(byName.emplace(*adapter.description, adapter).second) << *adapter.description << " listed twice";
    }
    EXPECT_EQ(byName["lo"].ipv4, std::vector<uint32_t>{0x7F000001u});
    EXPECT_EQ(byName["eth-a"].ipv4, (std::vector<uint32_t>{0xC6120701u, 0xC6120801u}));
    EXPECT_EQ(byName["eth-a"].ifType, tunnel::kIfTypeEthernet);
    EXPECT_EQ(byName["tun3"].ipv4, std::vector<uint32_t>{0x0A090001u}) << "its own address, not the peer's";
    EXPECT_EQ(byName["tun7"].ifType, 1u);
    EXPECT_TRUE(query->counters(byName["lo"].luid));
    EXPECT_FALSE(query->counters(999999)) << "no such interface";
  });
}

}  // namespace
}  // namespace vlvpn::test
