#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <atomic>

#include "desktop/shell/interface_watcher.h"
#include "desktop/tunnel/event_hooks.h"
#include "desktop/tunnel/tap_adapter.h"

namespace vlvpn::shell {
namespace {

std::atomic<bool> registered{false};
HANDLE notification = nullptr;  // kept for the life of the process
std::shared_ptr<tunnel::AdapterQuery> watched;

// On a system thread, possibly several at once: the last-seen state is
// only ever exchanged.
VOID NETIOAPI_API_ onInterfaceChange(PVOID, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
  tunnel::checkTapAdapterChange(*watched, [](bool up) { tunnel::adapterChangedHook(up); });
}

}  // namespace

void watchInterfaceChanges(std::shared_ptr<tunnel::AdapterQuery> adapters) {
  if (registered.exchange(true)) return;
  watched = std::move(adapters);
  tunnel::adapterUpLast.exchange(tunnel::findUpTapAdapter(watched->adapters()).has_value());
  if (NotifyIpInterfaceChange(AF_INET, onInterfaceChange, nullptr, FALSE, &notification) != NO_ERROR) {
    notification = nullptr;
  }
}

}  // namespace vlvpn::shell
