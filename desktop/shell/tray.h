// The notification-area icon, its tooltip, menu and balloon: one per
// process. The state the interface pushes is kept here for every platform;
// where there is no notification area (Linux) nothing is drawn.
#pragma once

#include <string_view>

#include "desktop/shell/tray_model.h"

namespace vlvpn::shell {

// A copy of the interface's last model, taken under the tray's lock.
TrayMenuModel trayModel();

// Whether the icon is wanted; the next refresh adds or removes it.
void setTrayIconVisible(bool visible);
bool isTrayIconWanted();

// Reads the interface's menu model (see parseMenuModel) under the lock.
void updateTrayMenuModel(std::string_view text);

// The first call starts the tray (its thread and hidden window); later
// calls ask it to redraw the icon and tooltip from the state. Any thread.
void ensureTray();  // per platform

// The main window was hidden: emits appWindowDidHide, and while connected
// shows the "still connected" balloon.
void onMainWindowHidden();

// Runs what a chosen menu command does: the menuBarAction event, showing
// the window, or ending the program.
void runTrayAction(const TrayAction& action);

// The balloon waiting to be shown, taken under the lock.
std::optional<Balloon> pendingBalloon();

// Asks the tray to show the pending balloon.
void showTrayBalloon();  // per platform

// Removes the icon and ends the process at once with exit code 0.
[[noreturn]] void exitFromTray();  // per platform

}  // namespace vlvpn::shell
