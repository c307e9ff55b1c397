#include "desktop/shell/launch_at_login.h"

#include <atomic>

namespace vlvpn::shell {
namespace {

std::atomic<bool> launchedAtStartup{false};

}  // namespace

void markLaunchedAtStartup() { launchedAtStartup.exchange(true); }

bool wasLaunchedAtStartup() { return launchedAtStartup; }

}  // namespace vlvpn::shell
