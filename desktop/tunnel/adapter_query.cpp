#include "desktop/tunnel/adapter_query.h"

#include <algorithm>
#include "common/text.h"

namespace vlvpn::tunnel {

bool isTapDescription(const std::optional<std::string>& description) {
  return description && isTapAdapterDescription(*description);
}

bool isTapAdapterInstalled(const std::optional<std::vector<AdapterInfo>>& adapters) {
  return adapters && std::any_of(adapters->begin(), adapters->end(),
                                 [](const AdapterInfo& a) { return isTapDescription(a.description); });
}

std::optional<uint64_t> findUpTapAdapter(const std::optional<std::vector<AdapterInfo>>& adapters) {
  if (!adapters) return std::nullopt;
  for (const auto& adapter : *adapters) {
    if (adapter.up && isTapDescription(adapter.description)) return adapter.luid;
  }
  return std::nullopt;
}

std::optional<uint32_t> tapAdapterIpv4Address(const std::optional<std::vector<AdapterInfo>>& adapters) {
  if (!adapters) return std::nullopt;
  for (const auto& adapter : *adapters) {
    if (adapter.up && isTapDescription(adapter.description) && !adapter.ipv4.empty()) return adapter.ipv4.front();
  }
  return std::nullopt;
}

bool isPhysicalLinkUp(const std::optional<std::vector<AdapterInfo>>& adapters) {
  if (!adapters) return true;
  return std::any_of(adapters->begin(), adapters->end(), [](const AdapterInfo& a) {
    return a.up && (a.ifType == kIfTypeEthernet || a.ifType == kIfTypeWifi) && !isTapDescription(a.description);
  });
}

}  // namespace vlvpn::tunnel
