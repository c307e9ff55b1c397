#include <windows.h>

#include "desktop/shell/main_window.h"
#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::shell {
namespace {

// The window titled "Velmora VPN" of this process: another program's window
// of that name is never ours to show.
HWND findOwnMainWindow() {
  struct Search {
    DWORD process;
    HWND found;
  } search{GetCurrentProcessId(), nullptr};
  EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        wchar_t title[64] = {};
        if (owner == s->process && GetWindowTextW(window, title, 64) > 0 && wcscmp(title, kMainWindowTitle) == 0) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

void showMainWindow() {
  const HWND window = findOwnMainWindow();
  if (!window) return;
  ShowWindow(window, SW_SHOW);
  SetForegroundWindow(window);
  tunnel::windowShownHook();
}

bool isMainWindowVisible() {
  const HWND window = findOwnMainWindow();
  return window && IsWindowVisible(window);
}

}  // namespace vlvpn::shell
