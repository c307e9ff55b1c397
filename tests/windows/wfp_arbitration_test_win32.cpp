// What the Windows kill switch lets through, decided by a model of the
// platform's arbitration over the very records the engine hands over. The
// expected verdicts are what the kill switch promises, written here; no
// machine here runs the filtering platform itself.
#include <gtest/gtest.h>

#include "service/wfp_platform_win32.h"
#include "tests/fakes/fake_wfp_platform_win32.h"
#include "tests/support/wfp_arbitration_win32.h"

namespace vlvpn::test {
namespace {

using service::KillSwitchRequest;
using V = Verdict;
namespace published = wfp_published;

constexpr uint64_t kPhysicalLuid = 0x0006000000000002ull;
constexpr uint64_t kTapLuid = 0x0006000000000009ull;
constexpr uint32_t kServer = 0xC6336407;    // 198.51.100.7
constexpr uint32_t kPublicV4 = 0xCB007105;  // 203.0.113.5
constexpr uint32_t kResolver = 0xC0A80101;  // 192.168.1.1, the LAN's resolver
constexpr uint32_t kNeighbour = 0xC0A80132;
const std::vector<uint8_t> kDeskAppId = {'d', 'e', 's', 'k'};
const std::vector<uint8_t> kOpenVpnAppId = {'o', 'v', 'p', 'n'};
const std::vector<uint8_t> kOtherAppId = {'a', 'n', 'y'};
const std::vector<uint8_t> kNlaUser = {'n', 'l', 'a'};
const std::vector<uint8_t> kServiceUser = {'s', 'y', 's'};  // the service's account, which its OpenVPN runs as
const std::vector<uint8_t> kLocalUser = {'u', 's', 'r'};
const wchar_t kOpenVpnExe[] = L"C:\\Program Files\\Velmora VPN\\openvpn.exe";
constexpr uint32_t kSecondServer = 0xC6336408;  // 198.51.100.8, a profile's other remote
constexpr uint32_t kProxy = 0xC0A80105;         // 192.168.1.5:8080, a profile's http-proxy

struct Scenario {
  const char* name;
  bool killSwitch;
  bool dns;
  bool ipv6Block;
  bool tap;
};

// The records in force for a scenario, as the engine handed them over.
struct Installed {
  std::vector<CapturedSublayer> sublayers;
  std::vector<CapturedFilter> filters;
};

Installed install(const Scenario& scenario) {
  auto* platform = new FakeWfpPlatform;
  if (scenario.tap) platform->taps = {kTapLuid};
  platform->appIdBytes = kDeskAppId;
  platform->nlaUserBytes = kNlaUser;
  platform->serviceUserBytes = kServiceUser;
  platform->appIdsByPath[kOpenVpnExe] = kOpenVpnAppId;
  platform->appIdsByPath[L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"] = {};  // not installed there
  auto engine = service::createWfpEngine(std::unique_ptr<service::WfpPlatform>(platform),
                                         {kOpenVpnExe, L"C:\\Program Files\\OpenVPN\\bin\\openvpn.exe"});
  if (scenario.killSwitch) {
    const KillSwitchRequest request{"udp", 1194, scenario.dns, {kServer}, "C:\\Program Files\\Velmora VPN\\VLVPNDesk.exe"};
    EXPECT_EQ(engine->enableKillSwitch(request), 0u);
  }
  if (scenario.ipv6Block) {
    EXPECT_EQ(engine->blockIpv6(), 0u);
  }
  return {platform->sublayersInForce(), platform->filtersInForce()};
}

// Another product's sublayer holding one permit-all filter on each layer.
void addForeignPermitAll(Installed& installed, const char* key, UINT16 weight, bool hard, bool first) {
  const GUID sublayer = guidFromText(key);
  const CapturedSublayer record{sublayer, weight, L"foreign"};
  if (first) {
    installed.sublayers.insert(installed.sublayers.begin(), record);
  } else {
    installed.sublayers.push_back(record);
  }
  for (const char* layer : {published::kLayerAleAuthConnectV4, published::kLayerAleAuthConnectV6,
                            published::kLayerAleAuthRecvAcceptV4, published::kLayerAleAuthRecvAcceptV6}) {
    CapturedFilter filter;
    filter.layer = guidFromText(layer);
    filter.sublayer = sublayer;
    filter.weightType = FWP_UINT8;
    filter.weight = 15;
    filter.action = FWP_ACTION_PERMIT;
    filter.flags = hard ? published::kFilterFlagClearActionRight : 0;
    installed.filters.push_back(filter);
  }
}

struct Probe {
  const char* name;
  Flow flow;
  bool throughTap;  // exists only where a TAP adapter does
  // What is promised: with the kill switch (DNS allowed, not), then with the
  // IPv6 block alone; with both sets on, the stricter of the two holds.
  V killSwitchDns, killSwitchNoDns, ipv6BlockAlone;
};

Flow out4(uint32_t remote, uint8_t protocol, uint16_t port, std::vector<uint8_t> app, uint64_t luid = kPhysicalLuid) {
  Flow f;
  f.layer = published::kLayerAleAuthConnectV4;
  f.remoteV4 = remote;
  f.protocol = protocol;
  f.remotePort = port;
  f.localPort = 50000;
  f.appId = std::move(app);
  f.interfaceLuid = luid;
  return f;
}
Flow out6(uint8_t protocol, uint16_t remotePort, uint16_t localPort, std::vector<uint8_t> app,
          uint64_t luid = kPhysicalLuid) {
  Flow f;
  f.layer = published::kLayerAleAuthConnectV6;
  f.protocol = protocol;
  f.remotePort = remotePort;
  f.localPort = localPort;
  f.appId = std::move(app);
  f.interfaceLuid = luid;
  return f;
}
Flow in4(uint32_t remote, uint8_t protocol, uint16_t remotePort, uint16_t localPort) {
  Flow f = out4(remote, protocol, remotePort, kOtherAppId);
  f.layer = published::kLayerAleAuthRecvAcceptV4;
  f.localPort = localPort;
  return f;
}
Flow in6(uint8_t protocol, uint16_t remotePort, uint16_t localPort) {
  Flow f = out6(protocol, remotePort, localPort, kOtherAppId);
  f.layer = published::kLayerAleAuthRecvAcceptV6;
  return f;
}
Flow loopback(Flow f) {
  f.loopback = true;
  f.interfaceLuid = 0x0018000000000001ull;
  return f;
}
Flow asUser(Flow f, std::vector<uint8_t> user) {
  f.user = std::move(user);
  return f;
}

std::vector<Probe> probes() {
  constexpr uint8_t tcp = 6, udp = 17, icmp6 = 58;
  return {
      {"any program to a public IPv4 address", out4(kPublicV4, tcp, 443, kOtherAppId), false, V::Block, V::Block, V::Permit},
      {"any program to a public IPv6 address", out6(tcp, 443, 50000, kOtherAppId), false, V::Block, V::Block, V::Block},
      {"any program to a public IPv4 address through the TAP adapter",
       out4(kPublicV4, tcp, 443, kOtherAppId, kTapLuid), true, V::Permit, V::Permit, V::Permit},
      {"any program to a public IPv6 address through the TAP adapter", out6(tcp, 443, 50000, kOtherAppId, kTapLuid),
       true, V::Permit, V::Permit, V::Permit},
      {"OpenVPN to the server's address and port", out4(kServer, udp, 1194, kOpenVpnAppId), false, V::Permit,
       V::Permit, V::Permit},
      {"OpenVPN to the server's address on another port", out4(kServer, udp, 1195, kOpenVpnAppId), false, V::Block,
       V::Block, V::Permit},
      {"a UDP query to the LAN's resolver", out4(kResolver, udp, 53, kOtherAppId), false, V::Permit, V::Block,
       V::Permit},
      {"a TCP query to the LAN's resolver", out4(kResolver, tcp, 53, kOtherAppId), false, V::Permit, V::Block,
       V::Permit},
      {"a query over IPv6", out6(udp, 53, 50000, kOtherAppId), false, V::Permit, V::Block, V::Block},
      {"an inbound connection from source port 53", in4(kNeighbour, tcp, 53, 445), false, V::Block, V::Block,
       V::Permit},
      {"an inbound IPv6 connection from source port 53", in6(tcp, 53, 445), false, V::Block, V::Block, V::Block},
      {"an inbound connection to a listening port", in4(kNeighbour, tcp, 50123, 3389), false, V::Block, V::Block,
       V::Permit},
      {"loopback over IPv4", loopback(out4(0x7F000001, tcp, 8080, kOtherAppId)), false, V::Permit, V::Permit,
       V::Permit},
      {"loopback over IPv6", loopback(out6(tcp, 8080, 50000, kOtherAppId)), false, V::Permit, V::Permit, V::Permit},
      {"a DHCP request", [] {
         Flow f = out4(0xFFFFFFFF, udp, 67, kOtherAppId);
         f.localPort = 68;
         return f;
       }(), false, V::Permit, V::Permit, V::Permit},
      {"a DHCP reply", in4(0xC0A80101, udp, 67, 68), false, V::Permit, V::Permit, V::Permit},
      {"ICMPv6 neighbour solicitation out", out6(icmp6, 0, 135, kOtherAppId), false, V::Permit, V::Permit, V::Permit},
      {"ICMPv6 neighbour advertisement in", in6(icmp6, 0, 136), false, V::Permit, V::Permit, V::Permit},
      {"ICMPv6 echo out", out6(icmp6, 0, 128, kOtherAppId), false, V::Block, V::Block, V::Block},
      {"ICMPv6 echo in", in6(icmp6, 0, 128), false, V::Block, V::Block, V::Block},
      {"the desktop program to a public IPv4 address", out4(kPublicV4, tcp, 443, kDeskAppId), false, V::Permit,
       V::Permit, V::Permit},
      {"the desktop program to a public IPv6 address", out6(tcp, 443, 50000, kDeskAppId), false, V::Permit, V::Permit,
       V::Block},
      {"the network probe of the NLA service", asUser(out4(kPublicV4, tcp, 80, kOtherAppId), kNlaUser), false,
       V::Permit, V::Block, V::Permit},
      // The service's own OpenVPN reaches whatever its profile names; the
      // same executable run by anyone else does not.
      {"the service's OpenVPN to the server's address and port", asUser(out4(kServer, udp, 1194, kOpenVpnAppId), kServiceUser),
       false, V::Permit, V::Permit, V::Permit},
      {"the service's OpenVPN to a profile's other remote, over TCP",
       asUser(out4(kSecondServer, tcp, 443, kOpenVpnAppId), kServiceUser), false, V::Permit, V::Permit, V::Permit},
      {"the service's OpenVPN to an IPv6 server", asUser(out6(udp, 1194, 50000, kOpenVpnAppId), kServiceUser), false,
       V::Permit, V::Permit, V::Permit},
      {"the service's OpenVPN to the profile's proxy", asUser(out4(kProxy, tcp, 8080, kOpenVpnAppId), kServiceUser),
       false, V::Permit, V::Permit, V::Permit},
      {"the service's OpenVPN hearing its server from a new address (a floating server)", [] {
         Flow f = asUser(in4(kSecondServer, udp, 1194, 50000), kServiceUser);
         f.appId = kOpenVpnAppId;
         return f;
       }(), false, V::Permit, V::Permit, V::Permit},
      {"OpenVPN run by a local user to a profile's other remote",
       asUser(out4(kSecondServer, tcp, 443, kOpenVpnAppId), kLocalUser), false, V::Block, V::Block, V::Permit},
      {"OpenVPN run by a local user to an IPv6 server", asUser(out6(udp, 1194, 50000, kOpenVpnAppId), kLocalUser), false,
       V::Block, V::Block, V::Block},
      {"another program running as the service's account", asUser(out4(kSecondServer, tcp, 443, kOtherAppId), kServiceUser),
       false, V::Block, V::Block, V::Permit},
      {"another program to the server's address and port", out4(kServer, udp, 1194, kOtherAppId), false, V::Permit,
       V::Permit, V::Permit},
      {"another program to a profile's other remote", out4(kSecondServer, tcp, 443, kOtherAppId), false, V::Block,
       V::Block, V::Permit},
      {"a DHCP request from an ordinary port", out4(0xFFFFFFFF, udp, 67, kOtherAppId), false, V::Block, V::Block,
       V::Permit},
      {"a datagram from port 68 to another port", [] {
         Flow f = out4(kNeighbour, udp, 53000, kOtherAppId);
         f.localPort = 68;
         return f;
       }(), false, V::Block, V::Block, V::Permit},
      {"a datagram to local port 68 from another port", in4(kNeighbour, udp, 4444, 68), false, V::Block, V::Block,
       V::Permit},
  };
}

V expected(const Probe& probe, const Scenario& scenario) {
  V verdict = V::Permit;
  if (scenario.killSwitch) verdict = scenario.dns ? probe.killSwitchDns : probe.killSwitchNoDns;
  if (scenario.ipv6Block && probe.ipv6BlockAlone == V::Block) verdict = V::Block;
  return verdict;
}

const char* text(V verdict) { return verdict == V::Permit ? "permit" : "block"; }

TEST(WfpArbitration, EveryFlowGetsTheVerdictTheKillSwitchPromises) {
  const Scenario scenarios[] = {
      {"kill switch with DNS", true, true, false, false},
      {"kill switch with DNS and a TAP adapter", true, true, false, true},
      {"kill switch without DNS", true, false, false, false},
      {"kill switch without DNS and a TAP adapter", true, false, false, true},
      {"IPv6 block", false, false, true, false},
      {"IPv6 block and a TAP adapter", false, false, true, true},
      {"both, with DNS", true, true, true, false},
      {"both, with DNS and a TAP adapter", true, true, true, true},
      {"both, without DNS, and a TAP adapter", true, false, true, true},
  };
  struct Foreign {
    const char* name;
    bool present, hard, first;
    UINT16 weight;
  };
  // The system firewall's allow rules are soft permits; another product may
  // add a hard permit-all below us. A soft permit-all of our own weight is
  // tried in both orders, which the platform does not define.
  const Foreign foreigns[] = {
      {"no foreign sublayer", false, false, false, 0},
      {"a soft permit-all of the same weight, evaluated first", true, false, true, 0xFFFF},
      {"a soft permit-all of the same weight, evaluated last", true, false, false, 0xFFFF},
      {"a soft permit-all of a lower weight", true, false, false, 0x8000},
      {"a hard permit-all of a lower weight", true, true, false, 0x1000},
  };
  for (const auto& scenario : scenarios) {
    const Installed ours = install(scenario);
    ASSERT_FALSE(ours.filters.empty()) << scenario.name;
    for (const auto& foreign : foreigns) {
      Installed installed = ours;
      if (foreign.present) {
        addForeignPermitAll(installed, "{7e0a1c52-2f4b-4c55-8a3e-5d6b7c8d9e0f}", foreign.weight, foreign.hard,
                            foreign.first);
      }
      for (const auto& probe : probes()) {
        if (probe.throughTap && !scenario.tap) continue;
        SCOPED_TRACE(testing::Message() << scenario.name << "; " << foreign.name << "; " << probe.name);
        const Arbitration decided = arbitrate(installed.sublayers, installed.filters, probe.flow);
        EXPECT_TRUE(decided.problems.empty()) << decided.problems.front();
        EXPECT_STREQ(text(decided.verdict), text(expected(probe, scenario)));
      }
    }
  }
}

TEST(WfpArbitration, TheModelFollowsThePlatformsRules) {
  // The model itself, on records made here: the rules it must get right for
  // the table above to mean anything.
  Installed installed;
  const GUID high = guidFromText("{11111111-0000-0000-0000-000000000001}");
  const GUID low = guidFromText("{11111111-0000-0000-0000-000000000002}");
  installed.sublayers = {{low, 10, L"low"}, {high, 20, L"high"}};
  const auto filter = [&](const GUID& sublayer, FWP_ACTION_TYPE action, uint64_t weight, UINT32 flags,
                          std::vector<CapturedCondition> conditions = {}) {
    CapturedFilter f;
    f.layer = guidFromText(published::kLayerAleAuthConnectV4);
    f.sublayer = sublayer;
    f.weightType = FWP_UINT8;
    f.weight = weight;
    f.action = action;
    f.flags = flags;
    f.conditions = std::move(conditions);
    return f;
  };
  const CapturedCondition port80{guidFromText(published::kConditionIpRemotePort), FWP_MATCH_EQUAL, FWP_UINT16, 80, {}};
  const Flow web = out4(kPublicV4, 6, 80, kOtherAppId);
  const Flow mail = out4(kPublicV4, 6, 25, kOtherAppId);
  struct Case {
    const char* name;
    std::vector<CapturedFilter> filters;
    V web, mail;
  };
  const Case cases[] = {
      {"nothing matches: permit", {}, V::Permit, V::Permit},
      {"the heavier filter in a sublayer decides",
       {filter(high, FWP_ACTION_BLOCK, 1, 0), filter(high, FWP_ACTION_PERMIT, 5, 0, {port80})}, V::Permit, V::Block},
      {"a lower sublayer's block overrides a soft permit",
       {filter(high, FWP_ACTION_PERMIT, 5, 0), filter(low, FWP_ACTION_BLOCK, 1, 0)}, V::Block, V::Block},
      {"a hard permit holds against a lower block",
       {filter(high, FWP_ACTION_PERMIT, 5, published::kFilterFlagClearActionRight), filter(low, FWP_ACTION_BLOCK, 1, 0)},
       V::Permit, V::Permit},
      {"a block holds against a lower hard permit",
       {filter(high, FWP_ACTION_BLOCK, 1, 0), filter(low, FWP_ACTION_PERMIT, 9, published::kFilterFlagClearActionRight)},
       V::Block, V::Block},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(arbitrate(installed.sublayers, c.filters, web).verdict, c.web);
    EXPECT_EQ(arbitrate(installed.sublayers, c.filters, mail).verdict, c.mail);
  }
  CapturedFilter unknown = filter(high, FWP_ACTION_PERMIT, 5, 0);
  unknown.conditions.push_back({guidFromText("{00000000-0000-0000-0000-00000000abcd}"), FWP_MATCH_EQUAL, FWP_UINT16, 1, {}});
  EXPECT_FALSE(arbitrate(installed.sublayers, {unknown}, web).problems.empty()) << "an identifier it does not know";
}

}  // namespace
}  // namespace vlvpn::test
