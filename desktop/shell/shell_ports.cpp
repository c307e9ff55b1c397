#include "desktop/shell/desktop_shell.h"
#include "desktop/shell/interface_watcher.h"
#include "desktop/shell/launch_at_login.h"
#include "desktop/shell/main_window.h"
#include "desktop/shell/tray.h"

namespace vlvpn::shell {

tunnel::ShellPorts makeShellPorts(std::shared_ptr<tunnel::AdapterQuery> adapters) {
  tunnel::ShellPorts ports;
  ports.ensureTray = ensureTray;
  ports.setTrayIconVisible = setTrayIconVisible;
  ports.updateMenuModel = updateTrayMenuModel;
  ports.showMainWindow = showMainWindow;
  ports.isMainWindowVisible = isMainWindowVisible;
  ports.onMainWindowHidden = onMainWindowHidden;
  ports.applyLaunchAtLogin = [](bool enabled) { return applyLaunchAtLogin(enabled); };
  ports.readLaunchAtLogin = [] { return readLaunchAtLogin(); };
  ports.wasLaunchedAtStartup = wasLaunchedAtStartup;
  ports.watchInterfaceChanges = [adapters] { watchInterfaceChanges(adapters); };
  return ports;
}

}  // namespace vlvpn::shell
