// VLVPNDesk's entry point: one instance per user, then the shell.
#include <string>
#include <string_view>

#include "desktop/shell/bridge_main.h"
#include "desktop/shell/desktop_shell.h"
#include "desktop/shell/launch_at_login.h"
#include "desktop/shell/launch_entries.h"
#include "desktop/shell/single_instance.h"

int main(int argc, char** argv) {
  using namespace vlvpn::shell;
  std::string commandLine;
  ShellStart start;
  for (int i = 1; i < argc; ++i) {
    // Before anything starts (not even the one-instance claim).
    if (std::string_view(argv[i]) == "--describe") runDescribe();
    commandLine.append(argv[i]).append(" ");
    if (std::string_view(argv[i]) == "--bridge") start.bridge = true;
  }
  if (!claimSingleInstance()) return 0;
  // The Run entry passes --startup; the startup task activates a packaged
  // program with the activation kind StartupTask and no argument.
  if (isLogOnStart(commandLine) || StartupTaskPort::create()->activatedByStartupTask()) {
    markLaunchedAtStartup();
    start.startHidden = true;
  }
  return runDesktop(start);
}
