// Where the main window goes: its client size and position as a pure
// function of the work area, the window frame and the DPI.
#pragma once

#include <cstdint>

namespace vlvpn::shell {

struct ScreenRect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
  int32_t width() const { return right - left; }
  int32_t height() const { return bottom - top; }
  friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

struct ScreenSize {
  int32_t width = 0, height = 0;
  friend bool operator==(const ScreenSize&, const ScreenSize&) = default;
};

struct ScreenPoint {
  int32_t x = 0, y = 0;
  friend bool operator==(const ScreenPoint&, const ScreenPoint&) = default;
};

// 1180 by 800 at 96 DPI, scaled to `dpi`, and never more than what the
// work area leaves once the frame is counted (at least 1 by 1).
ScreenSize mainWindowClientSize(const ScreenRect& workArea, const ScreenSize& frame, uint32_t dpi);

// The outer window centred in the work area, never above or left of it.
ScreenPoint centredWindowPosition(const ScreenRect& workArea, const ScreenSize& outer);

}  // namespace vlvpn::shell
