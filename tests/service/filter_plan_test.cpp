#include "service/filter_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "service/nftables_rules.h"

namespace vlvpn::service {
namespace {

using Field = Condition::Field;

size_t countWeight(const FilterPlan& plan, uint8_t weight) {
  return std::count_if(plan.filters.begin(), plan.filters.end(), [&](const Filter& f) { return f.weight == weight; });
}

TEST(KillSwitchPlan, HasTheDocumentedFilterCounts) {
  struct Case {
    size_t adapters, addresses;
    bool dns, appId, nla;
    size_t expected;
  };
  const Case cases[] = {
      // block, loopback, adapters, servers, app, DHCP, neighbour discovery (5 types, 2 layers), DNS, NLA
      {0, 0, false, false, false, 4 + 4 + 2 + 10},
      {1, 1, false, false, false, 4 + 4 + 4 + 2 + 2 + 10},
      {2, 3, true, true, true, 4 + 4 + 8 + 6 + 4 + 2 + 10 + 4 + 4},
      {0, 2, true, false, false, 4 + 4 + 4 + 2 + 10 + 4},  // no NLA descriptor: no probe filters
      {1, 0, false, true, true, 4 + 4 + 4 + 4 + 2 + 10},  // NLA only matters with dns
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.adapters << " adapters, " << c.addresses << " addresses, dns " << c.dns);
    KillSwitchRequest request{"udp", 1194, c.dns, std::vector<uint32_t>(c.addresses, 0x01020304), ""};
    KillSwitchContext context{std::vector<uint64_t>(c.adapters, 7), c.appId, c.nla, {}};
    const FilterPlan plan = buildKillSwitchPlan(request, context);
    EXPECT_EQ(plan.filters.size(), c.expected);
    EXPECT_EQ(plan.required, 4u);
    EXPECT_EQ(countWeight(plan, 10), 4 * c.adapters);
    EXPECT_EQ(countWeight(plan, 11), 2 * c.addresses);
  }
}

TEST(KillSwitchPlan, OrdersLayersAndRowsAsTheEngineAddsThem) {
  KillSwitchRequest request{"TCP", 443, true, {0x0A000001, 0x0A000002}, "/app"};
  const FilterPlan plan = buildKillSwitchPlan(request, {{0x1111, 0x2222}, true, true, {}});
  std::vector<std::pair<Layer, uint8_t>> shape;
  for (const auto& f : plan.filters) shape.emplace_back(f.layer, f.weight);
  using L = Layer;
  const std::vector<std::pair<Layer, uint8_t>> expected = {
      {L::ConnectV4, 1},     {L::ConnectV6, 1},     {L::RecvAcceptV4, 1},  {L::RecvAcceptV6, 1},   // block all
      {L::ConnectV4, 14},    {L::ConnectV6, 14},    {L::RecvAcceptV4, 14}, {L::RecvAcceptV6, 14},  // loopback
      {L::ConnectV4, 10},    {L::ConnectV6, 10},    {L::RecvAcceptV4, 10}, {L::RecvAcceptV6, 10},  // adapter 1
      {L::ConnectV4, 10},    {L::ConnectV6, 10},    {L::RecvAcceptV4, 10}, {L::RecvAcceptV6, 10},  // adapter 2
      {L::ConnectV4, 11},    {L::RecvAcceptV4, 11}, {L::ConnectV4, 11},    {L::RecvAcceptV4, 11},  // servers
      {L::ConnectV4, 12},    {L::ConnectV6, 12},    {L::RecvAcceptV4, 12}, {L::RecvAcceptV6, 12},  // app
      {L::ConnectV4, 9},     {L::RecvAcceptV4, 9},                                                 // DHCP
      {L::ConnectV6, 9},     {L::RecvAcceptV6, 9},  {L::ConnectV6, 9},     {L::RecvAcceptV6, 9},   // neighbour
      {L::ConnectV6, 9},     {L::RecvAcceptV6, 9},  {L::ConnectV6, 9},     {L::RecvAcceptV6, 9},   // discovery
      {L::ConnectV6, 9},     {L::RecvAcceptV6, 9},
      {L::ConnectV4, 8},     {L::ConnectV6, 8},     {L::ConnectV4, 8},     {L::ConnectV6, 8},      // DNS out
      {L::ConnectV4, 7},     {L::ConnectV6, 7},     {L::ConnectV4, 7},     {L::ConnectV6, 7},      // NLA probes
  };
  EXPECT_EQ(shape, expected);

  EXPECT_EQ(plan.filters[0].conditions, std::vector<Condition>{});
  EXPECT_EQ(plan.filters[0].action, Action::Block);
  EXPECT_EQ(plan.filters[4].conditions, (std::vector<Condition>{{Field::Loopback}}));
  EXPECT_EQ(plan.filters[12].conditions, (std::vector<Condition>{{Field::LocalInterface, 0x2222}}));
  EXPECT_EQ(plan.filters[18].conditions, (std::vector<Condition>{{Field::RemoteAddress, 0x0A000002},
                                                                 {Field::Protocol, 6},
                                                                 {Field::RemotePort, 443}}));
  const std::vector<Condition> dhcp{{Field::Protocol, 17}, {Field::LocalPort, 68}, {Field::RemotePort, 67}};
  EXPECT_EQ(plan.filters[24].conditions, dhcp) << "from the client's port to the servers' only";
  EXPECT_EQ(plan.filters[25].conditions, dhcp);
  for (int type = 133; type <= 137; ++type) {
    const size_t first = 26 + 2 * static_cast<size_t>(type - 133);
    for (size_t i : {first, first + 1}) {
      EXPECT_EQ(plan.filters[i].conditions,
                (std::vector<Condition>{{Field::Protocol, 58}, {Field::IcmpType, static_cast<uint64_t>(type)}}))
          << i;
    }
  }
  EXPECT_EQ(plan.filters[36].conditions, (std::vector<Condition>{{Field::Protocol, 17}, {Field::RemotePort, 53}}));
  EXPECT_EQ(plan.filters[38].conditions, (std::vector<Condition>{{Field::Protocol, 6}, {Field::RemotePort, 53}}));
  EXPECT_EQ(plan.filters[42].conditions,
            (std::vector<Condition>{{Field::NlaUser}, {Field::Protocol, 6}, {Field::RemotePort, 443}}));
  for (size_t i = 4; i < plan.filters.size(); ++i) EXPECT_EQ(plan.filters[i].action, Action::Permit) << i;
}

TEST(KillSwitchPlan, ServerConditionsFollowProtoAndPort) {
  struct Case {
    const char* proto;
    int32_t port;
    std::vector<Condition> conditions;
  };
  const Case cases[] = {
      {"udp", 1194, {{Field::RemoteAddress, 1}, {Field::Protocol, 17}, {Field::RemotePort, 1194}}},
      {"UDP", 1194, {{Field::RemoteAddress, 1}, {Field::Protocol, 17}, {Field::RemotePort, 1194}}},
      {"udp6", 1194, {{Field::RemoteAddress, 1}, {Field::RemotePort, 1194}}},
      {"tcp", 0, {{Field::RemoteAddress, 1}, {Field::Protocol, 6}}},
      {"", -443, {{Field::RemoteAddress, 1}}},
      {"tcp", 70000, {{Field::RemoteAddress, 1}, {Field::Protocol, 6}, {Field::RemotePort, 70000 & 0xFFFF}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.proto << " " << c.port);
    const FilterPlan plan = buildKillSwitchPlan({c.proto, c.port, false, {1}, ""}, {});
    const auto server = std::find_if(plan.filters.begin(), plan.filters.end(), [](const Filter& f) { return f.weight == 11; });
    ASSERT_NE(server, plan.filters.end());
    EXPECT_EQ(server->conditions, c.conditions);
  }
}

TEST(Ipv6BlockPlan, CoversOnlyIpv6Layers) {
  const uint64_t luids[] = {5, 9};
  const FilterPlan plan = buildIpv6BlockPlan(luids);
  ASSERT_EQ(plan.filters.size(), 2u + 2u + 4u + 10u);
  EXPECT_EQ(plan.required, 2u);
  for (const auto& f : plan.filters) {
    EXPECT_TRUE(f.layer == Layer::ConnectV6 || f.layer == Layer::RecvAcceptV6);
  }
  EXPECT_EQ(plan.filters[6].conditions, (std::vector<Condition>{{Field::LocalInterface, 9}}));
  EXPECT_EQ(plan.filters[8].conditions, (std::vector<Condition>{{Field::Protocol, 58}, {Field::IcmpType, 133}}))
      << "neighbour discovery, without which no IPv6 server on the link can be reached";
  EXPECT_EQ(buildIpv6BlockPlan({}).filters.size(), 14u);
}

TEST(NftablesRules, RendersThePlanAsOneOwnedTable) {
  const FilterPlan plan = buildKillSwitchPlan({"udp", 1194, true, {0xC6120002}, "/app"}, {{3}, true, false, {.mark = 77}});
  const std::string script = renderNftablesScript(plan, [](uint64_t luid) -> std::optional<std::string> {
    if (luid == 3) return "tap-windows0";
    return std::nullopt;
  });
  const std::string expected =
      "table inet VLVPNKillSwitch { flags owner; }\n"
      "delete table inet VLVPNKillSwitch\n"
      "table inet VLVPNKillSwitch {\n"
      "  flags owner;\n"
      "  chain output {\n"
      "    type filter hook output priority 0; policy accept;\n"
      "    meta nfproto ipv4 oifname \"lo\" accept\n"
      "    meta nfproto ipv6 oifname \"lo\" accept\n"
      "    meta nfproto ipv4 meta mark 77 accept\n"
      "    meta nfproto ipv6 meta mark 77 accept\n"
      "    meta nfproto ipv4 ip daddr 198.18.0.2 meta l4proto 17 th dport 1194 accept\n"
      "    meta nfproto ipv4 oifname \"tap-windows0\" accept\n"
      "    meta nfproto ipv6 oifname \"tap-windows0\" accept\n"
      "    meta nfproto ipv4 meta l4proto 17 th sport 68 th dport 67 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 133 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 134 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 135 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 136 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 137 accept\n"
      "    meta nfproto ipv4 meta l4proto 17 th dport 53 accept\n"
      "    meta nfproto ipv6 meta l4proto 17 th dport 53 accept\n"
      "    meta nfproto ipv4 meta l4proto 6 th dport 53 accept\n"
      "    meta nfproto ipv6 meta l4proto 6 th dport 53 accept\n"
      "    meta nfproto ipv4 drop\n"
      "    meta nfproto ipv6 drop\n"
      "  }\n"
      "  chain input {\n"
      "    type filter hook input priority 0; policy accept;\n"
      "    ct state established,related accept\n"
      "    meta nfproto ipv4 iifname \"lo\" accept\n"
      "    meta nfproto ipv6 iifname \"lo\" accept\n"
      "    meta nfproto ipv4 ip saddr 198.18.0.2 meta l4proto 17 th sport 1194 accept\n"
      "    meta nfproto ipv4 iifname \"tap-windows0\" accept\n"
      "    meta nfproto ipv6 iifname \"tap-windows0\" accept\n"
      "    meta nfproto ipv4 meta l4proto 17 th dport 68 th sport 67 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 133 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 134 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 135 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 136 accept\n"
      "    meta nfproto ipv6 meta l4proto 58 icmpv6 type 137 accept\n"
      "    meta nfproto ipv4 drop\n"
      "    meta nfproto ipv6 drop\n"
      "  }\n"
      "}\n";
  EXPECT_EQ(script, expected);
  EXPECT_EQ(renderNftablesRemoval(FilterSet::Ipv6Block),
            "table inet VLVPNIpv6Block { flags owner; }\ndelete table inet VLVPNIpv6Block\n");
}

// The service's own OpenVPN gets out to any address and port: by its mark
// on Linux, by its executables together with the service's account on
// Windows, and never by an executable alone, which any user could run.
TEST(KillSwitchPlan, LetsTheServicesOwnOpenVpnOutByItsIdentity) {
  const KillSwitchRequest request{"udp", 1194, false, {}, ""};
  const auto openVpnRows = [](const FilterPlan& plan) {
    std::vector<Filter> rows;
    std::copy_if(plan.filters.begin(), plan.filters.end(), std::back_inserter(rows),
                 [](const Filter& f) { return f.weight == 13; });
    return rows;
  };
  {
    SCOPED_TRACE("a mark: outgoing layers of both families");
    const auto rows = openVpnRows(buildKillSwitchPlan(request, {{}, false, false, {.mark = 0x564c5650}}));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], (Filter{Layer::ConnectV4, {{Field::OpenVpnMark, 0x564c5650}}, Action::Permit, 13}));
    EXPECT_EQ(rows[1].layer, Layer::ConnectV6);
  }
  {
    SCOPED_TRACE("two executables with the service's account: every layer, each with both conditions");
    const auto rows = openVpnRows(buildKillSwitchPlan(request, {{}, false, false, {.appIds = 2, .haveServiceUser = true}}));
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[0].conditions, (std::vector<Condition>{{Field::OpenVpnAppId, 0}, {Field::ServiceUser}}));
    EXPECT_EQ(rows[7].conditions, (std::vector<Condition>{{Field::OpenVpnAppId, 1}, {Field::ServiceUser}}));
    EXPECT_EQ(rows[3].layer, Layer::RecvAcceptV6);
  }
  {
    SCOPED_TRACE("no account to pair them with: no row at all");
    EXPECT_TRUE(openVpnRows(buildKillSwitchPlan(request, {{}, false, false, {.appIds = 2}})).empty());
  }
  {
    SCOPED_TRACE("the IPv6 block lets the same OpenVPN through on IPv6");
    const auto marked = openVpnRows(buildIpv6BlockPlan({}, {.mark = 5}));
    ASSERT_EQ(marked.size(), 1u);
    EXPECT_EQ(marked[0].layer, Layer::ConnectV6);
    const auto byAccount = openVpnRows(buildIpv6BlockPlan({}, {.appIds = 1, .haveServiceUser = true}));
    ASSERT_EQ(byAccount.size(), 2u);
    EXPECT_EQ(byAccount[1].layer, Layer::RecvAcceptV6);
  }
  const std::string script = renderNftablesScript(buildIpv6BlockPlan({}, {.mark = 5}), [](uint64_t) { return std::nullopt; });
  EXPECT_NE(script.find("    meta nfproto ipv6 meta mark 5 accept\n"), std::string::npos) << script;
}

TEST(NftablesRules, LeavesOutAdaptersThatAreGoneOrOddlyNamed) {
  const uint64_t luids[] = {1, 2};
  const std::string script = renderNftablesScript(buildIpv6BlockPlan(luids), [](uint64_t luid) -> std::optional<std::string> {
    if (luid == 1) return "bad\"name";
    return std::nullopt;
  });
  EXPECT_EQ(script.find("ifname \"bad"), std::string::npos);
  EXPECT_NE(script.find("meta nfproto ipv6 drop"), std::string::npos);
  EXPECT_EQ(script.find("nfproto ipv4"), std::string::npos) << "IPv4 is left alone";
}

}  // namespace
}  // namespace vlvpn::service
