// Linux: the program without a window. The bridge is the only way in.
#include <cstdio>

#include "desktop/shell/bridge_main.h"
#include "desktop/shell/desktop_shell.h"

namespace vlvpn::shell {

int runDesktop(const ShellStart& start) {
  if (start.bridge) runBridge();
  std::fputs("VLVPNDesk: there is no window on Linux; run with --bridge\n", stderr);
  return 2;
}

}  // namespace vlvpn::shell
