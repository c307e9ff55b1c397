#include "desktop/killswitch/filter_keeper.h"

#include <system_error>
#include <thread>

namespace vlvpn::killswitch {

bool startFilterKeeper(std::shared_ptr<KillSwitchController> controller,
                       std::function<void(std::chrono::milliseconds)> sleep, std::chrono::milliseconds period) {
  try {
    std::thread([controller = std::move(controller), sleep = std::move(sleep), period] {
      for (;;) {
        sleep(period);
        controller->keepInForce();
      }
    }).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace vlvpn::killswitch
