#include "desktop/tunnel/probes.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/fakes/fake_adapter_query.h"
#include "tests/fakes/fake_network_probe.h"

namespace vlvpn::tunnel {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

using test::FakeNetworkProbe;

AdapterInfo tap(bool up, std::vector<uint32_t> ipv4) {
  AdapterInfo info;
  info.description = "TAP-Windows Adapter V9";
  info.up = up;
  info.ipv4 = std::move(ipv4);
  return info;
}

TEST(TcpFallbackPorts, KeepsTheDocumentedOrder) {
  EXPECT_EQ(tcpFallbackPorts(443), (std::vector<uint16_t>{1194, 80, 443}));
  EXPECT_EQ(tcpFallbackPorts(8443), (std::vector<uint16_t>{8443, 1194, 80, 443}));
  EXPECT_EQ(tcpFallbackPorts(1194), (std::vector<uint16_t>{1194, 80, 443}));
  EXPECT_EQ(tcpFallbackPorts(80), (std::vector<uint16_t>{80, 1194, 443}));
}

TEST(PingThroughTunnel, ReportsEveryOutcome) {
  test::FakeAdapterQuery adapters;
  FakeNetworkProbe network;
  EXPECT_EQ(pingThroughTunnel(adapters, network, "example.com", 100), json({{"ok", false}, {"reason", "no_tunnel_adapter"}}))
      << "the adapter is looked at before the host";
  adapters.list = std::vector{tap(true, {})};
  EXPECT_EQ(pingThroughTunnel(adapters, network, "1.1.1.1", 100)["reason"], "no_tunnel_adapter");
  adapters.list = std::vector{tap(true, {0x0A080002})};
  EXPECT_EQ(pingThroughTunnel(adapters, network, "example.com", 100)["reason"], "bad_host");
  EXPECT_EQ(pingThroughTunnel(adapters, network, "1.1.1.1", 100)["reason"], "timeout");
  EXPECT_EQ(network.calls.back(), "echo " + std::to_string(0x0A080002) + ">" + std::to_string(0x01010101) + " 100");
  network.icmp = {IcmpOutcome::Kind::Unavailable};
  EXPECT_EQ(pingThroughTunnel(adapters, network, "1.1.1.1", 100)["reason"], "icmp_unavailable");
  network.icmp = {IcmpOutcome::Kind::Reply, 11003, 0};
  EXPECT_EQ(pingThroughTunnel(adapters, network, "1.1.1.1", 100)["reason"], "icmp_status_11003");
  network.icmp = {IcmpOutcome::Kind::Reply, 0, 23};
  EXPECT_EQ(pingThroughTunnel(adapters, network, "1.1.1.1", 100), json({{"ok", true}, {"rttMs", 23}}));
}

TEST(MeasureTcpLatency, PrefersIcmpThenTriesThePorts) {
  FakeNetworkProbe network;
  network.names["vpn.example"] = {0x01020304};
  network.icmp = {IcmpOutcome::Kind::Reply, 0, 0};
  EXPECT_EQ(measureTcpLatency(network, "vpn.example", 1194), 1) << "0 ms counts as 1";
  EXPECT_EQ(network.calls, std::vector<std::string>{"echo 0>" + std::to_string(0x01020304) + " 2000"});

  network.calls.clear();
  network.icmp = {IcmpOutcome::Kind::Reply, 11010, 0};
  network.answeringPorts[443] = 37ms;
  EXPECT_EQ(measureTcpLatency(network, "vpn.example", 443), 37);
  EXPECT_EQ(network.calls, (std::vector<std::string>{"echo 0>" + std::to_string(0x01020304) + " 2000", "tcp 1194 900",
                                                     "tcp 80 900", "tcp 443 600"}));

  network.answeringPorts.clear();
  EXPECT_EQ(measureTcpLatency(network, "vpn.example", 8443), 0);
  network.calls.clear();
  EXPECT_EQ(measureTcpLatency(network, "unknown.example", 8443), 0);
  EXPECT_TRUE(network.calls.empty()) << "nothing to probe without an address";
}

TEST(ResolveIpv4List, JoinsDistinctAddressesInOrder) {
  FakeNetworkProbe network;
  network.names["twice"] = {0x0A000001, 0x0A000001};
  network.names["two"] = {0x0A000002, 0x0A000001, 0x0A000002};
  EXPECT_EQ(resolveIpv4List(network, "twice"), "10.0.0.1");
  EXPECT_EQ(resolveIpv4List(network, "two"), "10.0.0.2,10.0.0.1");
  EXPECT_EQ(resolveIpv4List(network, "none"), "");
  EXPECT_EQ(resolveIpv4List(network, ""), "");
}

}  // namespace
}  // namespace vlvpn::tunnel
