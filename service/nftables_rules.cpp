#include "service/nftables_rules.h"

#include <algorithm>

#include "common/ipv4.h"

namespace vlvpn::service {
namespace {

using Field = Condition::Field;

bool isOutgoing(Layer layer) { return layer == Layer::ConnectV4 || layer == Layer::ConnectV6; }
bool isIpv4(Layer layer) { return layer == Layer::ConnectV4 || layer == Layer::RecvAcceptV4; }

bool safeInterfaceName(const std::string& name) {
  return !name.empty() && name.find_first_of("\"\\\n") == std::string::npos;
}

// The rule for one filter, or nullopt when nftables cannot express it.
std::optional<std::string> renderRule(const Filter& filter, const InterfaceNamer& interfaceName) {
  const bool out = isOutgoing(filter.layer);
  std::string rule = isIpv4(filter.layer) ? "meta nfproto ipv4" : "meta nfproto ipv6";
  const bool hasProtocol = std::any_of(filter.conditions.begin(), filter.conditions.end(),
                                       [](const Condition& c) { return c.field == Field::Protocol; });
  bool portGuarded = hasProtocol;
  const auto portMatch = [&](bool remote, uint64_t port) {
    // A port without a protocol means any transport that has ports.
    if (!portGuarded) rule += " meta l4proto { tcp, udp }", portGuarded = true;
    const bool destination = remote == out;
    rule += std::string(destination ? " th dport " : " th sport ") + std::to_string(port);
  };

  for (const auto& condition : filter.conditions) {
    switch (condition.field) {
      case Field::Loopback:
        rule += out ? " oifname \"lo\"" : " iifname \"lo\"";
        break;
      case Field::LocalInterface: {
        const auto name = interfaceName(condition.value);
        if (!name || !safeInterfaceName(*name)) return std::nullopt;
        rule += (out ? " oifname \"" : " iifname \"") + *name + "\"";
        break;
      }
      case Field::RemoteAddress:
        rule += (out ? " ip daddr " : " ip saddr ") + formatIpv4(static_cast<uint32_t>(condition.value));
        break;
      case Field::Protocol:
        rule += " meta l4proto " + std::to_string(condition.value);
        break;
      case Field::RemotePort:
        portMatch(true, condition.value);
        break;
      case Field::LocalPort:
        portMatch(false, condition.value);
        break;
      case Field::IcmpType:
        rule += " icmpv6 type " + std::to_string(condition.value);
        break;
      case Field::OpenVpnMark:
        // Only a socket's own packets carry its mark; what arrives does not.
        if (!out) return std::nullopt;
        rule += " meta mark " + std::to_string(condition.value);
        break;
      case Field::AppId:
      case Field::NlaUser:
      case Field::OpenVpnAppId:
      case Field::ServiceUser:
        return std::nullopt;
    }
  }
  rule += filter.action == Action::Permit ? " accept" : " drop";
  return rule;
}

std::string renderChain(const char* name, const char* hook, bool outgoing, const FilterPlan& plan,
                        const InterfaceNamer& interfaceName) {
  std::vector<const Filter*> filters;
  for (const auto& filter : plan.filters) {
    if (isOutgoing(filter.layer) == outgoing) filters.push_back(&filter);
  }
  std::stable_sort(filters.begin(), filters.end(), [](const Filter* a, const Filter* b) { return a->weight > b->weight; });

  std::string chain = std::string("  chain ") + name + " {\n    type filter hook " + hook + " priority 0; policy accept;\n";
  if (!outgoing) chain += "    ct state established,related accept\n";
  for (const Filter* filter : filters) {
    if (auto rule = renderRule(*filter, interfaceName)) chain += "    " + *rule + "\n";
  }
  return chain + "  }\n";
}

// Declaring the table first makes the delete succeed when there is none yet.
// The declaration carries the owner flag, as the kernel refuses to change it
// on a table that exists.
std::string declareThenDelete(const std::string& table) {
  return "table " + table + " { flags owner; }\ndelete table " + table + "\n";
}

}  // namespace

const char* nftablesTableName(FilterSet set) {
  return set == FilterSet::KillSwitch ? "VLVPNKillSwitch" : "VLVPNIpv6Block";
}

std::string renderNftablesScript(const FilterPlan& plan, const InterfaceNamer& interfaceName) {
  const std::string table = std::string("inet ") + nftablesTableName(plan.set);
  return declareThenDelete(table) + "table " + table + " {\n  flags owner;\n" +
         renderChain("output", "output", true, plan, interfaceName) +
         renderChain("input", "input", false, plan, interfaceName) + "}\n";
}

std::string renderNftablesRemoval(FilterSet set) {
  return declareThenDelete(std::string("inet ") + nftablesTableName(set));
}

}  // namespace vlvpn::service
