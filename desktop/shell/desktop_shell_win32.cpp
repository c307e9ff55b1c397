// Windows: the main window and its host, the tray, and with --bridge the
// JSON lines on the standard handles, all driven by the main thread's
// message loop.
#include <windows.h>
#include <objbase.h>

#include <stdexcept>
#include <string>
#include <thread>

#include "common/program_path.h"
#include "desktop/shell/app_window_win32.h"
#include "desktop/shell/bridge_main.h"
#include "desktop/shell/desktop_modules.h"
#include "desktop/shell/desktop_shell.h"
#include "desktop/shell/main_window.h"
#include "desktop/shell/resource_ids.h"
#include "desktop/shell/status_view.h"
#include "desktop/shell/tray.h"
#include "common/win32/wide.h"
#include "desktop/tunnel/tunnel_session.h"

namespace vlvpn::shell {
namespace {

constexpr UINT_PTR kStatusTimer = 1;
constexpr UINT kStatusRefreshMs = 500;
constexpr int kLostToTaskBar = 48;

// What the interface's host is given: its modules, registered lazily in this
// order, and where its bundle lies.
struct HostSettings {
  std::vector<std::string> moduleNames{"VLVPNTunnel", "VLVPNBuildConfig", "VLVPNAuthSession"};
  std::wstring bundleRootPath;
  std::wstring javaScriptBundleFile = L"index.windows";
  std::wstring componentName = L"VLVPNDesk";
};

HostSettings hostSettings() {
  HostSettings settings;
  settings.bundleRootPath = L"file://" + programPath().parent_path().wstring() + L"\\Bundle\\";
  return settings;
}

ScreenRect computeWorkArea(HWND window) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  if (window && GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
    return {monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right, monitor.rcWork.bottom};
  }
  RECT work{};
  if (SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0)) return {work.left, work.top, work.right, work.bottom};
  return {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN) - kLostToTaskBar};
}

ScreenSize frameSize(HWND window, UINT dpi) {
  const DWORD style = window ? static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)) : WS_OVERLAPPEDWINDOW;
  const DWORD extended = window ? static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)) : 0;
  RECT frame{0, 0, 0, 0};
  if (!AdjustWindowRectExForDpi(&frame, style, FALSE, extended, dpi)) return {0, 0};
  return {frame.right - frame.left, frame.bottom - frame.top};
}

void placeMainWindow(AppWindow& window) {
  const HWND handle = window.handle();
  const UINT dpi = handle ? GetDpiForWindow(handle) : 96;
  window.resizeClient(mainWindowClientSize(computeWorkArea(handle), frameSize(handle, dpi ? dpi : 96), dpi ? dpi : 96));
  window.move(centredWindowPosition(computeWorkArea(handle), window.outerSize()));
}

void setIcons(HWND window) {
  const auto load = [](int width, int height) {
    return static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconApp), IMAGE_ICON, width,
                                         height, LR_DEFAULTCOLOR));
  };
  if (HICON big = load(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON))) {
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  }
  if (HICON small = load(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON))) {
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  }
}

// The plain view in the window's client area: three lines, redrawn when
// the tunnel record says something new.
class StatusView {
 public:
  explicit StatusView(HWND parent) : parent_(parent) {
    const auto label = [&](int y, int height) {
      return CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_CENTER, 0, y, 10, height, parent, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
    };
    shield_ = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_ICON | SS_CENTERIMAGE, 0, 0, 10, 10,
                              parent, nullptr, GetModuleHandleW(nullptr), nullptr);
    product_ = label(0, 40);
    state_ = label(0, 28);
    profile_ = label(0, 24);
    titleFont_ = CreateFontW(-32, 0, 0, 0, FW_SEMIBOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    textFont_ = CreateFontW(-18, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    SendMessageW(product_, WM_SETFONT, reinterpret_cast<WPARAM>(titleFont_), TRUE);
    SendMessageW(state_, WM_SETFONT, reinterpret_cast<WPARAM>(textFont_), TRUE);
    SendMessageW(profile_, WM_SETFONT, reinterpret_cast<WPARAM>(textFont_), TRUE);
    layout();
    refresh();
  }
  ~StatusView() {
    DeleteObject(titleFont_);
    DeleteObject(textFont_);
  }
  StatusView(const StatusView&) = delete;
  StatusView& operator=(const StatusView&) = delete;

  // The state line in the tray's colours: green when connected, grey
  // otherwise.
  LRESULT colour(HWND control, HDC dc) const {
    SetBkMode(dc, TRANSPARENT);
    if (control == state_) SetTextColor(dc, connected_ ? RGB(38, 166, 84) : RGB(110, 116, 126));
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
  }

  void layout() {
    RECT client{};
    GetClientRect(parent_, &client);
    const int width = client.right - client.left;
    const int middle = (client.bottom - client.top) / 2;
    MoveWindow(shield_, 0, middle - 220, width, 136, TRUE);
    MoveWindow(product_, 0, middle - 70, width, 44, TRUE);
    MoveWindow(state_, 0, middle - 10, width, 30, TRUE);
    MoveWindow(profile_, 0, middle + 26, width, 26, TRUE);
  }

  void refresh() {
    const auto state = processTunnelState();
    std::string tunnelState, profile;
    {
      std::lock_guard lock(state->sessionMutex);
      tunnelState = state->session.state;
      profile = state->session.profileId;
    }
    const StatusLines lines = statusViewLines(tunnelState, profile);
    if (lines == shown_) return;
    shown_ = lines;
    connected_ = tunnelState == tunnel::kStateConnected;
    const HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr),
                                                     MAKEINTRESOURCEW(connected_ ? kIconTrayConnected : kIconTrayDisconnected),
                                                     IMAGE_ICON, 128, 128, LR_DEFAULTCOLOR));
    if (icon) {
      const HICON previous = reinterpret_cast<HICON>(SendMessageW(shield_, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0));
      if (previous) DestroyIcon(previous);
    }
    SetWindowTextW(product_, toWide(lines.product).c_str());
    SetWindowTextW(state_, toWide(lines.state).c_str());
    SetWindowTextW(profile_, toWide(lines.profile).c_str());
  }

 private:
  HWND parent_;
  HWND shield_, product_, state_, profile_;
  bool connected_ = false;
  HFONT titleFont_, textFont_;
  StatusLines shown_{u"-", u"-", u"-"};
};

}  // namespace

int runDesktop(const ShellStart& start) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) throw std::runtime_error("CoInitializeEx failed");
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);  // not fatal when refused
  const HostSettings settings = hostSettings();
  (void)settings;  // what the interface's host takes once it is linked in

  AppWindow window;
  if (!window.handle()) throw std::runtime_error("the main window could not be created");
  window.setTitle(kMainWindowTitle);
  placeMainWindow(window);
  setIcons(window.handle());
  StatusView status(window.handle());
  SetTimer(window.handle(), kStatusTimer, kStatusRefreshMs, nullptr);
  window.onClosing([&window](bool& cancel) {
    // Closing never ends the program, nor touches the tunnel.
    cancel = true;
    window.hide();
    onMainWindowHidden();
  });
  window.onMessage([&status](UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (message == WM_TIMER && wParam == kStatusTimer) {
      status.refresh();
      result = 0;
      return true;
    }
    if (message == WM_CTLCOLORSTATIC) {
      result = status.colour(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam));
      return true;
    }
    return false;
  });

  if (start.startHidden) {
    ensureTray();  // hidden from the start: no appWindowDidHide, no balloon
  } else {
    window.show();
  }
  if (start.bridge) {
    std::thread([] {
      serveBridge();
      exitFromTray();
    }).detach();
  } else {
    ensureTray();  // the interface's host would load the tunnel module, which does this
  }

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace vlvpn::shell
