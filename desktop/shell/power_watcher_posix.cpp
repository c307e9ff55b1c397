#include <systemd/sd-bus.h>

#include <atomic>
#include <system_error>
#include <thread>

#include "desktop/shell/power_watcher.h"
#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::shell {
namespace {

std::atomic<bool> watching{false};

// PrepareForSleep(true) before the sleep, PrepareForSleep(false) after it.
int onPrepareForSleep(sd_bus_message* message, void*, sd_bus_error*) {
  int sleeping = 0;
  if (sd_bus_message_read(message, "b", &sleeping) < 0) return 0;
  if (sleeping) {
    tunnel::systemSleepingHook();
  } else {
    tunnel::systemResumedHook();
  }
  return 0;
}

void watchBus(sd_bus* bus) {
  // Only logind itself may say so: the match names it as the sender.
  if (sd_bus_match_signal(bus, nullptr, "org.freedesktop.login1", "/org/freedesktop/login1",
                          "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep, nullptr) < 0) {
    return;
  }
  for (;;) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return;  // the bus went away
    if (processed == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return;
  }
}

}  // namespace

void watchSleepAndResume() {
  if (watching.exchange(true)) return;
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return;  // no system bus: silently no events
  try {
    std::thread([bus] {
      watchBus(bus);
      sd_bus_flush_close_unref(bus);
    }).detach();
  } catch (const std::system_error&) {
    sd_bus_flush_close_unref(bus);
  }
}

}  // namespace vlvpn::shell
