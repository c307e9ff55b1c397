#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <filesystem>
#include <map>

#include "common/posix/unique_fd.h"
#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::tunnel {
namespace {

// Everything is asked through sockets and netlink, which answer for the
// network namespace of the calling thread (sysfs answers for the mount's).
class NetlinkAdapterQuery final : public AdapterQuery {
 public:
  std::optional<std::vector<AdapterInfo>> adapters() override {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::map<std::string, std::vector<uint32_t>> addresses;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
      if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
        addresses[entry->ifa_name].push_back(ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr));
      }
    }
    freeifaddrs(list);

    UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    struct if_nameindex* names = if_nameindex();
    if (!names || !control) {
      if (names) if_freenameindex(names);
      return std::nullopt;
    }
    std::vector<AdapterInfo> found;
    for (const struct if_nameindex* entry = names; entry->if_index != 0; ++entry) {
      ifreq request{};
      std::strncpy(request.ifr_name, entry->if_name, IFNAMSIZ - 1);
      AdapterInfo info;
      info.description = entry->if_name;
      info.luid = entry->if_index;
      info.ipv4 = addresses[entry->if_name];
      // IFF_RUNNING is the operational state: a tun device without OpenVPN
      // behind it is up but not running.
      if (::ioctl(control.get(), SIOCGIFFLAGS, &request) == 0) {
        info.up = (request.ifr_flags & IFF_UP) && (request.ifr_flags & IFF_RUNNING);
      }
      if (std::filesystem::exists(std::filesystem::path("/sys/class/net") / entry->if_name / "wireless")) {
        info.ifType = kIfTypeWifi;
      } else if (::ioctl(control.get(), SIOCGIFHWADDR, &request) == 0 && request.ifr_hwaddr.sa_family == ARPHRD_ETHER) {
        info.ifType = kIfTypeEthernet;
      } else {
        info.ifType = 1;  // other
      }
      found.push_back(std::move(info));
    }
    if_freenameindex(names);
    return found;
  }

  std::optional<InterfaceCounters> counters(uint64_t luid) override {
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(static_cast<unsigned>(luid), name)) return std::nullopt;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<InterfaceCounters> counters;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
      // The link's entry carries the counters. A tun device has no hardware
      // address, and then its link entry has no address at all.
      const bool linkEntry = !entry->ifa_addr || entry->ifa_addr->sa_family == AF_PACKET;
      if (linkEntry && entry->ifa_data && std::strcmp(entry->ifa_name, name) == 0) {
        const auto* stats = static_cast<const rtnl_link_stats*>(entry->ifa_data);
        counters = InterfaceCounters{stats->rx_bytes, stats->tx_bytes};
        break;
      }
    }
    freeifaddrs(list);
    return counters;
  }
};

}  // namespace

std::unique_ptr<AdapterQuery> AdapterQuery::create() { return std::make_unique<NetlinkAdapterQuery>(); }

}  // namespace vlvpn::tunnel
