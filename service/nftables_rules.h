// A filter plan as an nftables table.
//
// The filtering platform's connection-authorisation layers become two base
// chains of an inet table: "output" for the Connect layers, "input" for the
// RecvAccept layers. Each filter becomes one rule, in descending weight, with
// the block-all filters as the final drops. Replies to traffic the output
// chain let out come back through conntrack, as the platform authorises a
// connection rather than each packet.
//
// Some conditions have no nftables equivalent and their filters are left
// out: the application identifiers and the accounts (nftables cannot match
// the sending program; the service's OpenVPN is matched by its packet mark
// instead). Leaving an exception out only ever blocks more.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "service/filter_plan.h"

namespace vlvpn::service {

const char* nftablesTableName(FilterSet set);  // "VLVPNKillSwitch", "VLVPNIpv6Block"

// The interface name of a LUID (ifindex), nullopt when there is none.
using InterfaceNamer = std::function<std::optional<std::string>(uint64_t luid)>;

// One nftables script that replaces the set's table atomically. The table is
// created with the "owner" flag: it lives as long as the netlink socket of the
// context that runs the script.
std::string renderNftablesScript(const FilterPlan& plan, const InterfaceNamer& interfaceName);

// Removes the set's table.
std::string renderNftablesRemoval(FilterSet set);

}  // namespace vlvpn::service
