#include <windows.h>

#include "common/win32/wide.h"
#include "desktop/shell/instance_name.h"
#include "desktop/shell/main_window.h"
#include "desktop/shell/single_instance.h"
#include "desktop/shell/tray_window_messages_win32.h"

namespace vlvpn::shell {

bool claimSingleInstance() {
  // Owned and never closed: the claim lasts as long as the process.
  const HANDLE mutex = CreateMutexW(nullptr, TRUE, wideFromUtf8(singleInstanceName()).c_str());
  if (!mutex || GetLastError() != ERROR_ALREADY_EXISTS) return true;

  // The first instance raises its own window, which only it may do once
  // it is allowed to take the foreground.
  AllowSetForegroundWindow(ASFW_ANY);
  if (const HWND tray = FindWindowW(wideFromUtf8(trayWindowClassName()).c_str(), nullptr)) {
    PostMessageW(tray, kTrayShowApp, 0, 0);
  } else if (const HWND window = FindWindowW(nullptr, kMainWindowTitle)) {
    ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
  }
  return false;
}

}  // namespace vlvpn::shell
