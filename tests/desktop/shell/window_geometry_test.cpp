#include "desktop/shell/window_geometry.h"

#include <gtest/gtest.h>

namespace vlvpn::shell {
namespace {

TEST(MainWindowGeometry, FitsTheWorkAreaAndCentres) {
  const ScreenRect work{0, 0, 1366, 728};
  const ScreenSize frame{16, 39};
  const ScreenSize client = mainWindowClientSize(work, frame, 96);
  EXPECT_EQ(client, (ScreenSize{1180, 689})) << "the height is what the work area leaves";
  EXPECT_EQ(centredWindowPosition(work, {client.width + frame.width, client.height + frame.height}),
            (ScreenPoint{85, 0}));

  // Room enough: the base size, scaled with the DPI (rounded half up).
  const ScreenRect large{0, 0, 3840, 2160};
  EXPECT_EQ(mainWindowClientSize(large, frame, 144), (ScreenSize{1770, 1200}));
  EXPECT_EQ(mainWindowClientSize(large, frame, 120), (ScreenSize{1475, 1000}));
}

TEST(MainWindowGeometry, NeverSmallerThanOnePixelNorAboveOrLeftOfTheWorkArea) {
  const ScreenRect tiny{100, 50, 110, 60};
  const ScreenSize frame{16, 39};
  const ScreenSize client = mainWindowClientSize(tiny, frame, 96);
  EXPECT_EQ(client, (ScreenSize{1, 1}));
  EXPECT_EQ(centredWindowPosition(tiny, {client.width + frame.width, client.height + frame.height}),
            (ScreenPoint{100, 50})) << "the top-left corner of the work area";
  // A work area on a second monitor to the left, with negative coordinates.
  EXPECT_EQ(centredWindowPosition({-1920, 0, 0, 1040}, {1196, 839}), (ScreenPoint{-1558, 100}));
  EXPECT_EQ(centredWindowPosition({0, 0, 101, 101}, {100, 100}), (ScreenPoint{0, 0})) << "halves truncate";
}

}  // namespace
}  // namespace vlvpn::shell
