// Tells the interface when the tunnel adapter comes up or goes down: each
// IPv4 interface change re-runs the TAP-adapter test, and a changed result
// raises tunnelAdapterChanged. Windows: NotifyIpInterfaceChange; Linux: a
// netlink route socket (links and IPv4 addresses) read on its own thread.
#pragma once

#include <memory>

#include "desktop/tunnel/adapter_query.h"

namespace vlvpn::shell {

// Registers once per process; later calls do nothing. The first result is
// seeded now, so the first event compares against it. A failed registration
// is silent: the events then never come.
void watchInterfaceChanges(std::shared_ptr<tunnel::AdapterQuery> adapters);  // per platform

}  // namespace vlvpn::shell
