// The filter sets of the kill switch and of the IPv6 block, as data.
//
// A plan is the ordered list of filters one enable command installs; the
// Windows engine adds them as filtering-platform filters inside one
// transaction, the Linux engine renders them as one nftables table. Within a
// set, filters of higher weight decide first, so every exception (weight 7 to
// 14) wins over the block-all filter of weight 1 on its layer.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "service/dispatcher.h"

namespace vlvpn::service {

enum class FilterSet { KillSwitch, Ipv6Block };

// Connection authorisation for outgoing (Connect) and incoming (RecvAccept)
// traffic, per address family.
enum class Layer { ConnectV4, ConnectV6, RecvAcceptV4, RecvAcceptV6 };

enum class Action { Block, Permit };

struct Condition {
  enum class Field {
    Loopback,        // the loopback flag is set
    LocalInterface,  // value: the interface's LUID (ifindex on Linux)
    RemoteAddress,   // value: IPv4 address, host byte order
    Protocol,        // value: IP protocol number
    RemotePort,
    LocalPort,
    IcmpType,        // value: ICMP type (the platform matches it as the local port)
    AppId,           // the application identifier of the request's exe
    NlaUser,         // the Network Location Awareness service's account
    OpenVpnMark,     // value: the packet mark of the service's OpenVPN (Linux)
    OpenVpnAppId,    // value: which of the service's OpenVPN executables (Windows)
    ServiceUser,     // the service's own account (Windows)
  };
  Field field;
  uint64_t value = 0;
  friend bool operator==(const Condition&, const Condition&) = default;
};

struct Filter {
  Layer layer;
  std::vector<Condition> conditions;
  Action action;
  uint8_t weight;
  friend bool operator==(const Filter&, const Filter&) = default;
};

struct FilterPlan {
  FilterSet set;
  std::vector<Filter> filters;
  // The first `required` filters (the block-all ones) must be added; a
  // failure among them aborts the set. Later failures only mean more blocking.
  size_t required = 0;
};

inline constexpr uint8_t kProtocolTcp = 6;
inline constexpr uint8_t kProtocolUdp = 17;
inline constexpr uint8_t kProtocolIcmpv6 = 58;

// ICMPv6 router and neighbour solicitation and advertisement, and redirect:
// what neighbour discovery needs. Echo and the rest stay blocked.
inline constexpr uint8_t kNeighbourDiscoveryTypes[] = {133, 134, 135, 136, 137};

// "udp" gives 17 and "tcp" 6, compared after lower-casing; anything else 0.
uint8_t protocolNumber(std::string_view proto);

// How the OpenVPN that the service itself started is told from every other
// program, so it reaches whatever server its profile names (every remote,
// any transport, a proxy, an address resolved again on a restart) while
// nothing else does. No local user can take on either identity: setting a
// packet mark needs CAP_NET_ADMIN, and only the service runs the OpenVPN
// executable under the service's account.
struct OpenVpnIdentity {
  std::optional<uint32_t> mark = std::nullopt;  // Linux: the mark its link socket carries (--mark)
  size_t appIds = 0;             // Windows: identifiers of the executables it may start...
  bool haveServiceUser = false;  // ...which count only when run as the service's account
};

// What the platform could provide beside the request itself.
struct KillSwitchContext {
  std::vector<uint64_t> tapLuids;  // in the order found
  bool haveAppId = false;          // the request's exe resolved to an application identifier
  bool haveNlaUser = false;        // the NLA service's account resolved to a descriptor
  OpenVpnIdentity openVpn = {};
};

FilterPlan buildKillSwitchPlan(const KillSwitchRequest& request, const KillSwitchContext& context);
FilterPlan buildIpv6BlockPlan(std::span<const uint64_t> tapLuids, const OpenVpnIdentity& openVpn = {});

}  // namespace vlvpn::service
