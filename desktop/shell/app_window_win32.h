// The main window as the window host offers it: a top-level window with a
// title, client resize, move, outer size, hide, show and a closing event
// that may be cancelled. Main thread only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "desktop/shell/window_geometry.h"

namespace vlvpn::shell {

class AppWindow {
 public:
  // Created hidden, not resizable and not maximizable.
  AppWindow();
  ~AppWindow();
  AppWindow(const AppWindow&) = delete;
  AppWindow& operator=(const AppWindow&) = delete;

  HWND handle() const { return window_; }
  void setTitle(const std::wstring& title);
  void resizeClient(ScreenSize size);
  void move(ScreenPoint position);
  ScreenSize outerSize() const;
  void show();
  void hide();
  // Called on close (button, Alt+F4, system menu); setting `cancel` keeps
  // the window.
  void onClosing(std::function<void(bool& cancel)> handler) { closing_ = std::move(handler); }
  // Called for each message the window does not handle itself (timers,
  // painting of its content).
  void onMessage(std::function<bool(UINT, WPARAM, LPARAM, LRESULT&)> handler) { message_ = std::move(handler); }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  HWND window_ = nullptr;
  std::function<void(bool&)> closing_;
  std::function<bool(UINT, WPARAM, LPARAM, LRESULT&)> message_;
};

}  // namespace vlvpn::shell
