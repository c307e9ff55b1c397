// Linux has no notification area of ours: the state is kept, nothing drawn.
// Where Windows registers the tray window for power notifications, Linux
// starts watching logind.
#include <cstdlib>

#include "desktop/shell/power_watcher.h"
#include "desktop/shell/tray.h"

namespace vlvpn::shell {

void ensureTray() { watchSleepAndResume(); }

void showTrayBalloon() {}

void exitFromTray() { std::_Exit(0); }

}  // namespace vlvpn::shell
