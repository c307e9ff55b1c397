// Adapters and counters as the test sets them.
#pragma once

#include <map>

#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::test {

class FakeAdapterQuery : public tunnel::AdapterQuery {
 public:
  std::optional<std::vector<tunnel::AdapterInfo>> list = std::vector<tunnel::AdapterInfo>{};
  // What ipv4Adapters() gives; `list` when not set.
  std::optional<std::optional<std::vector<tunnel::AdapterInfo>>> ipv4List;
  std::map<uint64_t, tunnel::InterfaceCounters> counterTable;
  int listings = 0;

  std::optional<std::vector<tunnel::AdapterInfo>> adapters() override {
    ++listings;
    return list;
  }
  std::optional<std::vector<tunnel::AdapterInfo>> ipv4Adapters() override {
    ++listings;
    return ipv4List ? *ipv4List : list;
  }
  std::optional<tunnel::InterfaceCounters> counters(uint64_t luid) override {
    const auto found = counterTable.find(luid);
    if (found == counterTable.end()) return std::nullopt;
    return found->second;
  }
};

}  // namespace vlvpn::test
