// The composition root of the desktop program: the native modules wired to
// the real implementations of every port.
#pragma once

#include <vector>

#include "desktop/host/module.h"

namespace vlvpn::shell {

std::vector<host::ModuleTable> makeDesktopModules();

}  // namespace vlvpn::shell
