// The network calls behind the reachability probes.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vlvpn::tunnel {

struct IcmpOutcome {
  enum class Kind { Reply, NoReply, Unavailable };
  Kind kind = Kind::NoReply;
  uint32_t status = 0;  // Reply: 0 for an echo reply, else an IP_STATUS value (11003: host unreachable)
  uint32_t rttMs = 0;
};

class NetworkProbe {
 public:
  virtual ~NetworkProbe() = default;
  // IPv4 addresses of `host` (host byte order) in the resolver's order; empty on failure.
  virtual std::vector<uint32_t> resolveIpv4(const std::string& host) = 0;
  // One echo of 32 zero bytes; from `source` when given. Linux: a raw socket
  // bound to the source as root, else an ICMP datagram socket.
  virtual IcmpOutcome echo(std::optional<uint32_t> source, uint32_t destination, std::chrono::milliseconds timeout) = 0;
  // Time until a TCP connection was accepted or refused; nullopt when neither
  // happened within `timeout`.
  virtual std::optional<std::chrono::milliseconds> tcpAnswerTime(uint32_t address, uint16_t port,
                                                                 std::chrono::milliseconds timeout) = 0;

  static std::unique_ptr<NetworkProbe> create();  // per platform
};

}  // namespace vlvpn::tunnel
