#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::tunnel {
namespace {

namespace fs = std::filesystem;

std::string readLine(const fs::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A tun device reports its operational state as "unknown"; its carrier tells
// whether OpenVPN holds it.
bool isOperationallyUp(const fs::path& device) {
  const std::string state = readLine(device / "operstate");
  return state == "up" || (state == "unknown" && readLine(device / "carrier") == "1");
}

uint32_t interfaceType(const fs::path& device) {
  if (fs::exists(device / "wireless")) return kIfTypeWifi;
  return readLine(device / "type") == "1" ? kIfTypeEthernet : 1;  // ARPHRD_ETHER, else "other"
}

class SysfsAdapterQuery final : public AdapterQuery {
 public:
  std::optional<std::vector<AdapterInfo>> adapters() override {
    std::map<std::string, std::vector<uint32_t>> addresses;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
      for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
          const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
          addresses[entry->ifa_name].push_back(ntohl(address->sin_addr.s_addr));
        }
      }
      freeifaddrs(list);
    }

    struct if_nameindex* names = if_nameindex();
    if (!names) return std::nullopt;
    std::vector<AdapterInfo> found;
    for (const struct if_nameindex* entry = names; entry->if_index != 0; ++entry) {
      const fs::path device = fs::path("/sys/class/net") / entry->if_name;
      AdapterInfo info;
      info.description = entry->if_name;
      info.up = isOperationallyUp(device);
      info.ifType = interfaceType(device);
      info.luid = entry->if_index;
      info.ipv4 = addresses[entry->if_name];
      found.push_back(std::move(info));
    }
    if_freenameindex(names);
    return found;
  }

  std::optional<InterfaceCounters> counters(uint64_t luid) override {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(luid), name)) return std::nullopt;
    const fs::path statistics = fs::path("/sys/class/net") / name / "statistics";
    const std::string rx = readLine(statistics / "rx_bytes");
    const std::string tx = readLine(statistics / "tx_bytes");
    if (rx.empty() || tx.empty()) return std::nullopt;
    return InterfaceCounters{std::stoull(rx), std::stoull(tx)};
  }
};

}  // namespace

std::unique_ptr<AdapterQuery> AdapterQuery::create() { return std::make_unique<SysfsAdapterQuery>(); }

}  // namespace vlvpn::tunnel
