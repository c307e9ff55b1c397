#include "desktop/tunnel/probes.h"

#include <algorithm>

#include "common/ipv4.h"

namespace vlvpn::tunnel {

using nlohmann::json;

std::vector<uint16_t> tcpFallbackPorts(int32_t port) {
  std::vector<uint16_t> ports;
  if (port != 443 && port >= 1 && port <= 65535) ports.push_back(static_cast<uint16_t>(port));
  for (uint16_t candidate : {1194, 80, 443}) {
    if (ports.size() < 4 && std::find(ports.begin(), ports.end(), candidate) == ports.end()) ports.push_back(candidate);
  }
  return ports;
}

json pingThroughTunnel(AdapterQuery& adapters, NetworkProbe& network, const std::string& host, int32_t timeoutMs) {
  const auto source = tapAdapterIpv4Address(adapters.adapters());
  if (!source) return {{"ok", false}, {"reason", "no_tunnel_adapter"}};
  const auto destination = parseIpv4(host);
  if (!destination) return {{"ok", false}, {"reason", "bad_host"}};
  const IcmpOutcome outcome = network.echo(*source, *destination, std::chrono::milliseconds(timeoutMs));
  switch (outcome.kind) {
    case IcmpOutcome::Kind::Unavailable:
      return {{"ok", false}, {"reason", "icmp_unavailable"}};
    case IcmpOutcome::Kind::NoReply:
      return {{"ok", false}, {"reason", "timeout"}};
    case IcmpOutcome::Kind::Reply:
      break;
  }
  if (outcome.status != 0) return {{"ok", false}, {"reason", "icmp_status_" + std::to_string(outcome.status)}};
  return {{"ok", true}, {"rttMs", outcome.rttMs}};
}

int32_t measureTcpLatency(NetworkProbe& network, const std::string& host, int32_t port) {
  const auto addresses = network.resolveIpv4(host);
  if (!addresses.empty()) {
    const IcmpOutcome echo = network.echo(std::nullopt, addresses.front(), std::chrono::milliseconds(2000));
    if (echo.kind == IcmpOutcome::Kind::Reply && echo.status == 0) return std::max<int32_t>(1, static_cast<int32_t>(echo.rttMs));
  }
  for (uint16_t candidate : tcpFallbackPorts(port)) {
    const auto resolved = network.resolveIpv4(host);
    if (resolved.empty()) continue;
    const auto limit = std::chrono::milliseconds(candidate == 443 ? 600 : 900);
    if (auto answered = network.tcpAnswerTime(resolved.front(), candidate, limit)) {
      return std::max<int32_t>(1, static_cast<int32_t>(answered->count()));
    }
  }
  return 0;
}

std::string resolveIpv4List(NetworkProbe& network, const std::string& host) {
  if (host.empty()) return {};
  std::vector<uint32_t> seen;
  std::string list;
  for (uint32_t address : network.resolveIpv4(host)) {
    if (std::find(seen.begin(), seen.end(), address) != seen.end()) continue;
    seen.push_back(address);
    if (!list.empty()) list += ",";
    list += formatIpv4(address);
  }
  return list;
}

}  // namespace vlvpn::tunnel
