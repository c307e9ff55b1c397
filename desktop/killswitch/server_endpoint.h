// The VPN server a tunnel is for, as the kill switch fences it.
#pragma once

#include <cstdint>
#include <string>

namespace vlvpn::killswitch {

struct ServerEndpoint {
  std::string proto;      // the profile's "proto", possibly empty
  int32_t port = 0;       // from the profile's "remote" line
  std::string addresses;  // comma-separated IPv4 addresses of the server host
  friend bool operator==(const ServerEndpoint&, const ServerEndpoint&) = default;
};

}  // namespace vlvpn::killswitch
