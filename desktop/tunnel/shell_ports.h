// What the tunnel module asks of the desktop shell: the tray, the main
// window, the start at log-on and the interface watcher. The composition
// root wires the shell; tests and a shell-less host leave them as they are.
#pragma once

#include <functional>
#include <string_view>

namespace vlvpn::tunnel {

struct ShellPorts {
  std::function<void()> ensureTray = [] {};
  std::function<void(bool)> setTrayIconVisible = [](bool) {};
  std::function<void(std::string_view)> updateMenuModel = [](std::string_view) {};
  std::function<void()> showMainWindow = [] {};
  std::function<bool()> isMainWindowVisible = [] { return false; };
  std::function<void()> onMainWindowHidden = [] {};
  // Whether the requested state now holds; may block, so called on a worker.
  std::function<bool(bool)> applyLaunchAtLogin = [](bool) { return false; };
  std::function<bool()> readLaunchAtLogin = [] { return false; };
  std::function<bool()> wasLaunchedAtStartup = [] { return false; };
  std::function<void()> watchInterfaceChanges = [] {};
};

}  // namespace vlvpn::tunnel
