// Linux has no notification area of ours: the state is kept, nothing drawn.
#include <cstdlib>

#include "desktop/shell/tray.h"

namespace vlvpn::shell {

void ensureTray() {}

void showTrayBalloon() {}

void exitFromTray() { std::_Exit(0); }

}  // namespace vlvpn::shell
