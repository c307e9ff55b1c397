// VLVPNDesk's entry point.
#include <cstdio>
#include <string_view>

#include "desktop/shell/bridge_main.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--bridge") vlvpn::shell::runBridge();
  }
  std::fputs("VLVPNDesk: the window host is not part of this build yet; run with --bridge\n", stderr);
  return 2;
}
