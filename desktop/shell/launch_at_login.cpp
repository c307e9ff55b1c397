#include "desktop/shell/launch_at_login.h"

#include <atomic>

namespace vlvpn::shell {
namespace {

std::atomic<bool> launchedAtStartup{false};

}  // namespace

void markLaunchedAtStartup() { launchedAtStartup.exchange(true); }

bool wasLaunchedAtStartup() { return launchedAtStartup; }

bool isStartupTaskOn(StartupTaskState state) {
  return state == StartupTaskState::Enabled || state == StartupTaskState::EnabledByPolicy;
}

bool applyLaunchAtLogin(bool enabled, StartupTaskPort& task, LaunchEntry& entry) {
  if (task.isPackaged()) {
    if (!enabled && task.disable(kStartupTaskId)) {
      // A Run value an earlier fallback wrote would still start the program.
      entry.write(false);
      return true;
    }
    if (enabled) {
      if (const auto state = task.requestEnable(kStartupTaskId)) return isStartupTaskOn(*state);
    }
  }
  entry.write(enabled);
  return entry.exists() == enabled;
}

bool readLaunchAtLogin(StartupTaskPort& task, LaunchEntry& entry) {
  if (task.isPackaged()) {
    if (const auto state = task.state(kStartupTaskId)) return isStartupTaskOn(*state);
  }
  return entry.exists();
}

}  // namespace vlvpn::shell
