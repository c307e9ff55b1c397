// The tray thread: a hidden window that owns the notification icon, draws
// the menu built by buildTrayMenu, shows the balloon, and receives power
// notifications and a second instance's request for the main window.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "common/win32/wide.h"
#include "desktop/shell/instance_name.h"
#include "desktop/shell/main_window.h"
#include "desktop/shell/resource_ids.h"
#include "desktop/shell/tray.h"
#include "desktop/shell/tray_window_messages_win32.h"
#include "desktop/tunnel/event_hooks.h"

namespace vlvpn::shell {
namespace {

std::atomic<bool> started{false};
std::atomic<HWND> trayWindow{nullptr};

// Owned by the tray thread.
bool iconAdded = false;
NOTIFYICONDATAW record{};
UINT taskbarCreatedMessage = 0;
HPOWERNOTIFY powerNotification = nullptr;

template <size_t N>
void copyCut(wchar_t (&target)[N], const std::u16string& text) {
  const size_t units = std::min(text.size(), N - 1);
  std::copy_n(text.begin(), units, target);
  target[units] = L'\0';
}

HICON loadIcon(int resource, int width, int height) {
  return static_cast<HICON>(
      LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource), IMAGE_ICON, width, height, LR_DEFAULTCOLOR));
}

HICON trayIcon(bool connected) {
  int width = GetSystemMetrics(SM_CXSMICON);
  int height = GetSystemMetrics(SM_CYSMICON);
  if (width < 1) width = 16;
  if (height < 1) height = 16;
  if (HICON icon = loadIcon(connected ? kIconTrayConnected : kIconTrayDisconnected, width, height)) return icon;
  if (HICON icon = loadIcon(kIconApp, width, height)) return icon;
  return LoadIconW(nullptr, IDI_APPLICATION);
}

void deleteIcon() {
  if (!iconAdded) return;
  Shell_NotifyIconW(NIM_DELETE, &record);
  iconAdded = false;
}

void refreshTrayIcon() {
  if (!isTrayIconWanted()) {
    deleteIcon();
    return;
  }
  const HWND window = trayWindow;
  if (!window) return;
  const HICON previous = record.hIcon;
  record = NOTIFYICONDATAW{};
  record.cbSize = sizeof record;
  record.hWnd = window;
  record.uID = 1;
  record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  record.uCallbackMessage = kTrayCallback;
  const TrayMenuModel model = trayModel();
  copyCut(record.szTip, buildTooltip(model));
  record.hIcon = trayIcon(model.connected);
  if (previous && previous != record.hIcon) DestroyIcon(previous);

  if (iconAdded) {
    if (Shell_NotifyIconW(NIM_MODIFY, &record)) return;
    iconAdded = false;  // the shell lost it: add it again
  }
  iconAdded = Shell_NotifyIconW(NIM_ADD, &record) != FALSE;
}

void showBalloon() {
  const auto balloon = pendingBalloon();
  if (!balloon || !iconAdded || (balloon->title.empty() && balloon->text.empty())) return;
  NOTIFYICONDATAW info = record;  // the registered record stays as it is
  info.uFlags |= NIF_INFO;
  info.dwInfoFlags = NIIF_INFO;
  copyCut(info.szInfoTitle, balloon->title.substr(0, kBalloonTitleUnits));
  copyCut(info.szInfo, balloon->text.substr(0, kBalloonTextUnits));
  Shell_NotifyIconW(NIM_MODIFY, &info);
}

void appendItems(HMENU menu, const std::vector<TrayMenuItem>& items) {
  for (const auto& item : items) {
    const std::wstring text = toWide(item.text);
    const UINT state = item.enabled ? MF_ENABLED : (MF_DISABLED | MF_GRAYED);
    switch (item.kind) {
      case TrayMenuItem::Kind::Separator:
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        break;
      case TrayMenuItem::Kind::Submenu: {
        const HMENU submenu = CreatePopupMenu();
        if (!submenu) break;
        appendItems(submenu, item.children);
        AppendMenuW(menu, MF_POPUP | MF_STRING | state, reinterpret_cast<UINT_PTR>(submenu), text.c_str());
        break;
      }
      case TrayMenuItem::Kind::Command:
        AppendMenuW(menu, MF_STRING | state, item.command, text.c_str());
        break;
    }
  }
}

// The menu is drawn from a copy, so the model may change while it is open;
// the command chosen acts on that same copy.
void showTrayMenu(HWND window) {
  const TrayMenuModel model = trayModel();
  const HMENU menu = CreatePopupMenu();
  if (!menu) return;
  appendItems(menu, buildTrayMenu(model));
  SetForegroundWindow(window);
  POINT cursor{};
  GetCursorPos(&cursor);
  const UINT command = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_BOTTOMALIGN | TPM_RIGHTBUTTON,
                                                        cursor.x, cursor.y, 0, window, nullptr));
  PostMessageW(window, WM_NULL, 0, 0);
  DestroyMenu(menu);
  if (const auto action = actionForCommand(command, model)) runTrayAction(*action);
}

void onPowerBroadcast(WPARAM event) {
  if (event == PBT_APMQUERYSUSPEND || event == PBT_APMSUSPEND) tunnel::systemSleepingHook();
  if (event == PBT_APMRESUMESUSPEND || event == PBT_APMRESUMEAUTOMATIC) tunnel::systemResumedHook();
}

LRESULT CALLBACK trayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
    iconAdded = false;  // the shell restarted without our icon
    refreshTrayIcon();
    return 0;
  }
  switch (message) {
    case WM_POWERBROADCAST:
      onPowerBroadcast(wParam);
      return TRUE;
    case WM_DESTROY:
      if (powerNotification) UnregisterSuspendResumeNotification(powerNotification);
      powerNotification = nullptr;
      deleteIcon();
      return 0;
    case kTrayCallback:
      switch (LOWORD(lParam)) {
        case WM_CONTEXTMENU:
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
          showTrayMenu(window);
          break;
        case WM_LBUTTONDBLCLK:
        case NIN_BALLOONUSERCLICK:
          showMainWindow();
          break;
        default:
          break;
      }
      return 0;
    case kTrayRefresh:
      refreshTrayIcon();
      return 0;
    case kTrayBalloon:
      showBalloon();
      return 0;
    case kTrayShowApp:
      showMainWindow();
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

void trayThreadMain() {
  taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
  const std::wstring className = wideFromUtf8(trayWindowClassName());
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = trayWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = className.c_str();
  RegisterClassW(&windowClass);
  const HWND window = CreateWindowExW(WS_EX_TOOLWINDOW, className.c_str(), L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                      nullptr, windowClass.hInstance, nullptr);
  if (window) {
    trayWindow = window;
    powerNotification = RegisterSuspendResumeNotification(window, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (taskbarCreatedMessage != 0) ChangeWindowMessageFilterEx(window, taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
  }
  refreshTrayIcon();
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

void ensureTray() {
  if (!started.exchange(true)) {
    // A failure to start reaches the caller, as any thread failure does.
    std::thread(trayThreadMain).detach();
    return;
  }
  if (const HWND window = trayWindow) PostMessageW(window, kTrayRefresh, 0, 0);
}

void showTrayBalloon() {
  if (const HWND window = trayWindow) PostMessageW(window, kTrayBalloon, 0, 0);
}

void exitFromTray() {
  // Called on the tray thread, which owns the icon.
  deleteIcon();
  ExitProcess(0);
}

}  // namespace vlvpn::shell
