#include "desktop/shell/window_geometry.h"

#include <algorithm>

namespace vlvpn::shell {
namespace {

constexpr double kBaseWidth = 1180.0;
constexpr double kBaseHeight = 800.0;
constexpr double kBaseDpi = 96.0;

int32_t scaled(double base, uint32_t dpi) { return static_cast<int32_t>(dpi * base / kBaseDpi + 0.5); }

}  // namespace

ScreenSize mainWindowClientSize(const ScreenRect& workArea, const ScreenSize& frame, uint32_t dpi) {
  const int32_t availableWidth = std::max(workArea.width() - frame.width, 1);
  const int32_t availableHeight = std::max(workArea.height() - frame.height, 1);
  return {std::min(availableWidth, scaled(kBaseWidth, dpi)), std::min(availableHeight, scaled(kBaseHeight, dpi))};
}

ScreenPoint centredWindowPosition(const ScreenRect& workArea, const ScreenSize& outer) {
  // Signed halving that truncates towards zero, as C++ division does.
  return {std::max(workArea.left, workArea.left + (workArea.width() - outer.width) / 2),
          std::max(workArea.top, workArea.top + (workArea.height() - outer.height) / 2)};
}

}  // namespace vlvpn::shell
