// The system's network adapters, as the tunnel needs to see them: which one is
// the TAP adapter, whether it is up, its address and its traffic counters.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vlvpn::tunnel {

inline constexpr uint32_t kIfTypeEthernet = 6;
inline constexpr uint32_t kIfTypeWifi = 71;

struct AdapterInfo {
  std::optional<std::string> description;  // UTF-8; Linux: the interface name
  bool up = false;                         // operationally up (carrier), not merely enabled
  uint32_t ifType = 0;                     // IANA interface type
  uint64_t luid = 0;                       // Linux: the ifindex
  std::vector<uint32_t> ipv4;              // unicast addresses, host byte order
};

struct InterfaceCounters {
  uint64_t inOctets = 0;
  uint64_t outOctets = 0;
};

class AdapterQuery {
 public:
  virtual ~AdapterQuery() = default;
  // The adapters in the order the system lists them; nullopt when the list
  // cannot be had.
  virtual std::optional<std::vector<AdapterInfo>> adapters() = 0;
  // The adapters bound to IPv4 that the system shows (Windows leaves out
  // hidden interfaces here), without their addresses: what isPhysicalLinkUp
  // looks at. nullopt when the list cannot be had.
  virtual std::optional<std::vector<AdapterInfo>> ipv4Adapters() = 0;
  virtual std::optional<InterfaceCounters> counters(uint64_t luid) = 0;

  static std::unique_ptr<AdapterQuery> create();  // per platform
};

// A description that, lower-cased, contains "tap-windows".
bool isTapDescription(const std::optional<std::string>& description);

// Over one listing (nullopt: the listing failed).
bool isTapAdapterInstalled(const std::optional<std::vector<AdapterInfo>>& adapters);
std::optional<uint64_t> findUpTapAdapter(const std::optional<std::vector<AdapterInfo>>& adapters);
std::optional<uint32_t> tapAdapterIpv4Address(const std::optional<std::vector<AdapterInfo>>& adapters);
// An up Ethernet or Wi-Fi adapter that is not the TAP adapter; true also
// when the listing failed, so a failure never reports the network as down.
bool isPhysicalLinkUp(const std::optional<std::vector<AdapterInfo>>& adapters);

}  // namespace vlvpn::tunnel
