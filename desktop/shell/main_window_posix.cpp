#include "desktop/shell/main_window.h"

namespace vlvpn::shell {

void showMainWindow() {}

bool isMainWindowVisible() { return false; }

}  // namespace vlvpn::shell
