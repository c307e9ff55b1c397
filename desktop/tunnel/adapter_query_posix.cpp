#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>

#include "common/posix/unique_fd.h"
#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::tunnel {
namespace {

// Everything is asked of the kernel over route netlink, which answers for
// the network namespace of the calling thread (sysfs answers for the
// mount's). One dump of the links and one of their IPv4 addresses give the
// whole adapter list, whatever the number of interfaces; the tunnel's
// counters are one link's answer alone.
class RouteNetlink {
 public:
  RouteNetlink() : fd_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
  explicit operator bool() const { return static_cast<bool>(fd_); }

  // Sends the request and hands each message of the answer to `each`, up to
  // the dump's end or the one answer. False when the kernel refused or the
  // socket failed.
  bool ask(nlmsghdr& request, const std::function<void(const nlmsghdr&)>& each) {
    request.nlmsg_seq = ++sequence_;
    if (::send(fd_.get(), &request, request.nlmsg_len, 0) < 0) return false;
    const bool dump = request.nlmsg_flags & NLM_F_DUMP;
    alignas(nlmsghdr) char buffer[32768];
    for (;;) {
      const ssize_t received = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (received < 0 && errno == EINTR) continue;
      if (received <= 0) return false;
      const char* at = buffer;
      size_t left = static_cast<size_t>(received);
      while (left >= sizeof(nlmsghdr)) {
        const auto* message = reinterpret_cast<const nlmsghdr*>(at);
        if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > left) break;  // cut short
        const size_t step = std::min<size_t>(left, NLMSG_ALIGN(message->nlmsg_len));
        at += step;
        left -= step;
        if (message->nlmsg_seq != sequence_) continue;
        if (message->nlmsg_type == NLMSG_DONE) return true;
        if (message->nlmsg_type == NLMSG_ERROR) {
          return reinterpret_cast<const nlmsgerr*>(NLMSG_DATA(message))->error == 0;
        }
        each(*message);
        if (!dump) return true;
      }
    }
  }

 private:
  UniqueFd fd_;
  uint32_t sequence_ = 0;
};

// A request: the header, the family message, room for one attribute.
template <class Body>
struct Request {
  nlmsghdr header;
  Body body;
  alignas(NLMSG_ALIGNTO) char attributes[16];
};

template <class Body>
Request<Body> makeRequest(uint16_t type, uint16_t flags) {
  Request<Body> request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(Body));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  return request;
}

template <class Body>
void addU32(Request<Body>& request, uint16_t type, uint32_t value) {
  auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) + NLMSG_ALIGN(request.header.nlmsg_len));
  attribute->rta_type = type;
  attribute->rta_len = RTA_LENGTH(sizeof value);
  std::memcpy(RTA_DATA(attribute), &value, sizeof value);
  request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

// Calls `each(type, data, length)` for every attribute after the family message.
template <class Body>
void forEachAttribute(const nlmsghdr& message, const std::function<void(uint16_t, const void*, size_t)>& each) {
  const auto* body = static_cast<const Body*>(NLMSG_DATA(&message));
  int left = static_cast<int>(message.nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof(Body)));
  for (const auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(body) + NLMSG_ALIGN(sizeof(Body)));
       RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
    each(attribute->rta_type, RTA_DATA(attribute), RTA_PAYLOAD(attribute));
  }
}

class NetlinkAdapterQuery final : public AdapterQuery {
 public:
  // Linux has no hidden interfaces to leave out: every link can carry IPv4.
  std::optional<std::vector<AdapterInfo>> ipv4Adapters() override { return adapters(); }

  std::optional<std::vector<AdapterInfo>> adapters() override {
    RouteNetlink netlink;
    if (!netlink) return std::nullopt;
    std::map<uint64_t, AdapterInfo> byIndex;  // in the order of their indexes, as the system lists interfaces
    std::map<uint64_t, unsigned short> hardwareType;

    auto links = makeRequest<ifinfomsg>(RTM_GETLINK, NLM_F_DUMP);
    links.body.ifi_family = AF_UNSPEC;
    addU32(links, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);  // the counters of a hundred links are not wanted here
    const bool linksRead = netlink.ask(links.header, [&](const nlmsghdr& message) {
      if (message.nlmsg_type != RTM_NEWLINK) return;
      const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(&message));
      AdapterInfo& info = byIndex[static_cast<uint64_t>(link->ifi_index)];
      info.luid = static_cast<uint64_t>(link->ifi_index);
      // IFF_RUNNING is the operational state: a tun device without OpenVPN
      // behind it is up but not running.
      info.up = (link->ifi_flags & IFF_UP) && (link->ifi_flags & IFF_RUNNING);
      hardwareType[info.luid] = link->ifi_type;
      forEachAttribute<ifinfomsg>(message, [&](uint16_t type, const void* data, size_t length) {
        const auto* text = static_cast<const char*>(data);
        if (type == IFLA_IFNAME) info.description = std::string(text, strnlen(text, length));
      });
    });
    if (!linksRead) return std::nullopt;

    auto addresses = makeRequest<ifaddrmsg>(RTM_GETADDR, NLM_F_DUMP);
    addresses.body.ifa_family = AF_INET;
    const bool addressesRead = netlink.ask(addresses.header, [&](const nlmsghdr& message) {
      if (message.nlmsg_type != RTM_NEWADDR) return;
      const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(&message));
      const auto adapter = byIndex.find(address->ifa_index);
      if (address->ifa_family != AF_INET || adapter == byIndex.end()) return;
      // The local address; IFA_ADDRESS is the peer's on a point-to-point link.
      std::optional<uint32_t> local, other;
      forEachAttribute<ifaddrmsg>(message, [&](uint16_t type, const void* data, size_t length) {
        if (length != sizeof(in_addr)) return;
        uint32_t value;
        std::memcpy(&value, data, sizeof value);
        if (type == IFA_LOCAL) local = ntohl(value);
        if (type == IFA_ADDRESS) other = ntohl(value);
      });
      if (local || other) adapter->second.ipv4.push_back(local ? *local : *other);
    });
    if (!addressesRead) return std::nullopt;

    std::vector<AdapterInfo> found;
    for (auto& [index, info] : byIndex) {
      if (!info.description) continue;
      if (hardwareType[index] != ARPHRD_ETHER) {
        info.ifType = 1;  // other
      } else if (std::filesystem::exists(std::filesystem::path("/sys/class/net") / *info.description / "wireless")) {
        info.ifType = kIfTypeWifi;
      } else {
        info.ifType = kIfTypeEthernet;
      }
      found.push_back(std::move(info));
    }
    return found;
  }

  std::optional<InterfaceCounters> counters(uint64_t luid) override {
    RouteNetlink netlink;
    if (!netlink || luid == 0 || luid > static_cast<uint64_t>(INT32_MAX)) return std::nullopt;
    auto link = makeRequest<ifinfomsg>(RTM_GETLINK, 0);
    link.body.ifi_family = AF_UNSPEC;
    link.body.ifi_index = static_cast<int>(luid);
    std::optional<InterfaceCounters> counters;
    netlink.ask(link.header, [&](const nlmsghdr& message) {
      if (message.nlmsg_type != RTM_NEWLINK) return;
      forEachAttribute<ifinfomsg>(message, [&](uint16_t type, const void* data, size_t length) {
        // The 64-bit counters: the 32-bit ones wrap after 4 GiB, which a rate
        // would read as a counter going back.
        if (type == IFLA_STATS64 && length >= sizeof(rtnl_link_stats64)) {
          rtnl_link_stats64 stats;
          std::memcpy(&stats, data, sizeof stats);
          counters = InterfaceCounters{stats.rx_bytes, stats.tx_bytes};
        }
      });
    });
    return counters;
  }
};

}  // namespace

std::unique_ptr<AdapterQuery> AdapterQuery::create() { return std::make_unique<NetlinkAdapterQuery>(); }

}  // namespace vlvpn::tunnel
