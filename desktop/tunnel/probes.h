// Whether traffic flows through the tunnel, and how far away a server is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "desktop/tunnel/adapter_query.h"
#include "desktop/tunnel/network_probe.h"

namespace vlvpn::tunnel {

inline constexpr const char* kDefaultPingHost = "1.1.1.1";
inline constexpr int32_t kDefaultPingTimeoutMs = 2000;
inline constexpr int32_t kDefaultProbePort = 1194;

// The ports the TCP fallback tries, in order: the caller's (unless 443),
// then 1194, 80 and 443, without repeats, at most four.
std::vector<uint16_t> tcpFallbackPorts(int32_t port);

// {"ok": true, "rttMs"} or {"ok": false, "reason"}: an echo from the tunnel
// adapter's own address, so it leaves through the tunnel.
nlohmann::json pingThroughTunnel(AdapterQuery& adapters, NetworkProbe& network, const std::string& host,
                                 int32_t timeoutMs);

// Milliseconds, at least 1 when the server answered ICMP or TCP (a refusal
// counts), 0 when nothing answered.
int32_t measureTcpLatency(NetworkProbe& network, const std::string& host, int32_t port);

// The distinct IPv4 addresses of `host`, dotted, comma-separated, in the
// resolver's order; "" for an empty host or a failed resolution.
std::string resolveIpv4List(NetworkProbe& network, const std::string& host);

}  // namespace vlvpn::tunnel
