#include "desktop/shell/power_watcher.h"

namespace vlvpn::shell {

// The tray window registers for suspend and resume when the tray starts.
void watchSleepAndResume() {}

}  // namespace vlvpn::shell
