#include "desktop/shell/app_window_win32.h"

namespace vlvpn::shell {
namespace {

constexpr wchar_t kWindowClass[] = L"VLVPNMainWindow";
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW & ~(WS_THICKFRAME | WS_MAXIMIZEBOX);

void registerClass() {
  static const bool registered = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;  // replaced per window once it exists
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    return RegisterClassW(&windowClass) != 0;
  }();
  (void)registered;
}

}  // namespace

AppWindow::AppWindow() {
  registerClass();
  window_ = CreateWindowExW(0, kWindowClass, L"", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
  if (!window_) return;
  SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SetWindowLongPtrW(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&AppWindow::windowProc));
}

AppWindow::~AppWindow() {
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

void AppWindow::setTitle(const std::wstring& title) { SetWindowTextW(window_, title.c_str()); }

void AppWindow::resizeClient(ScreenSize size) {
  RECT frame{0, 0, size.width, size.height};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)), GetDpiForWindow(window_));
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void AppWindow::move(ScreenPoint position) {
  SetWindowPos(window_, nullptr, position.x, position.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

ScreenSize AppWindow::outerSize() const {
  RECT bounds{};
  GetWindowRect(window_, &bounds);
  return {bounds.right - bounds.left, bounds.bottom - bounds.top};
}

void AppWindow::show() { ShowWindow(window_, SW_SHOW); }

void AppWindow::hide() { ShowWindow(window_, SW_HIDE); }

LRESULT CALLBACK AppWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<AppWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self) return DefWindowProcW(window, message, wParam, lParam);
  if (message == WM_CLOSE) {
    bool cancel = false;
    if (self->closing_) self->closing_(cancel);
    if (cancel) return 0;
  }
  LRESULT result = 0;
  if (self->message_ && self->message_(message, wParam, lParam, result)) return result;
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace vlvpn::shell
