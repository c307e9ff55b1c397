#include "desktop/shell/tray.h"

#include <atomic>
#include <mutex>

#include "desktop/shell/main_window.h"
#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::shell {
namespace {

// Held only to copy or parse, never across a shell call, a menu or a hook.
std::mutex trayMutex;
TrayMenuModel model;
std::optional<Balloon> balloon;
std::atomic<bool> iconVisible{true};

}  // namespace

TrayMenuModel trayModel() {
  std::lock_guard lock(trayMutex);
  return model;
}

void setTrayIconVisible(bool visible) {
  std::lock_guard lock(trayMutex);
  iconVisible = visible;
}

bool isTrayIconWanted() { return iconVisible; }

void updateTrayMenuModel(std::string_view text) {
  std::lock_guard lock(trayMutex);
  model = parseMenuModel(text);
}

std::optional<Balloon> pendingBalloon() {
  std::lock_guard lock(trayMutex);
  return balloon;
}

void onMainWindowHidden() {
  tunnel::windowHiddenHook();
  bool connected = false;
  {
    std::lock_guard lock(trayMutex);
    balloon = balloonForHiddenWindow(model);
    connected = balloon.has_value();
  }
  ensureTray();
  if (connected) showTrayBalloon();
}

void runTrayAction(const TrayAction& action) {
  if (action.exitProgram) exitFromTray();
  if (!action.action.empty()) tunnel::menuActionHook(tunnel::menuActionPayload(action.action, action.serverId));
  if (action.showWindow) showMainWindow();
}

}  // namespace vlvpn::shell
