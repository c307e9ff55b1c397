// The thread that keeps the filter sets the user asked for in force while
// the program runs: every two seconds it lets the controller check them with
// the service and put back what a restarted service lost. While nothing is
// asked for it sends nothing.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "desktop/killswitch/killswitch_controller.h"

namespace vlvpn::killswitch {

inline constexpr std::chrono::milliseconds kFilterKeepPeriod{2000};

// Starts the detached thread; false when it could not be started.
bool startFilterKeeper(std::shared_ptr<KillSwitchController> controller,
                       std::function<void(std::chrono::milliseconds)> sleep,
                       std::chrono::milliseconds period = kFilterKeepPeriod);

}  // namespace vlvpn::killswitch
