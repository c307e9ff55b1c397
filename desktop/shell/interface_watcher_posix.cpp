#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "common/posix/unique_fd.h"
#include "desktop/shell/interface_watcher.h"
#include "desktop/tunnel/event_hooks.h"
#include "desktop/tunnel/tap_adapter.h"

namespace vlvpn::shell {
namespace {

std::atomic<bool> registered{false};

UniqueFd openRouteSocket() {
  UniqueFd socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!socket) return {};
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
  return socket;
}

void reportChange(tunnel::AdapterQuery& adapters) {
  tunnel::checkTapAdapterChange(adapters, [](bool up) { tunnel::adapterChangedHook(up); });
}

}  // namespace

void watchInterfaceChanges(std::shared_ptr<tunnel::AdapterQuery> adapters) {
  if (registered.exchange(true)) return;
  tunnel::adapterUpLast.exchange(tunnel::findUpTapAdapter(adapters->adapters()).has_value());
  UniqueFd socket = openRouteSocket();
  if (!socket) return;
  try {
    std::thread([socket = std::move(socket), adapters]() mutable {
      char buffer[16384];
      for (;;) {
        const ssize_t n = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        // ENOBUFS: notifications were lost, so look again all the same.
        if (n < 0 && errno != ENOBUFS) return;
        reportChange(*adapters);
      }
    }).detach();
  } catch (const std::system_error&) {
    // No thread: no events, as with a failed registration.
  }
}

}  // namespace vlvpn::shell
