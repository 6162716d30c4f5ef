// Learning an application's scale from what it and the X server say of the same window.

#include "platform/atspi/display_scale.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace qor::platform {
namespace {

struct ScaleCase {
  const char* name;
  Frame reported;  // the application's extents of its window
  Frame screen;    // the window on the X server
  std::optional<double> scale;
};

TEST(DisplayScale, IsLearnedOnlyFromTheSameRectangle) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const ScaleCase cases[] = {
      {"unscaled", {100, 50, 640, 480}, {100, 50, 640, 480}, 1.0},
      {"unscaled, one pixel of rounding", {100, 50, 640, 480}, {101, 49, 641, 480}, 1.0},
      {"GDK_SCALE=2 at the origin", {0, 0, 1366, 741}, {0, 0, 2732, 1482}, 2.0},
      {"QT_SCALE_FACTOR=2, odd position rounded",
       {290, 154, 700, 500},
       {580, 307, 1400, 1000},
       2.0},
      {"one and a half", {200, 100, 400, 300}, {300, 150, 600, 450}, 1.5},
      {"twice as large but elsewhere", {290, 154, 700, 500}, {100, 307, 1400, 1000}, std::nullopt},
      {"width and height disagree", {0, 0, 700, 500}, {0, 0, 1400, 500}, std::nullopt},
      {"another window of the same size", {10, 10, 300, 200}, {500, 400, 300, 200}, std::nullopt},
      {"empty extents", {0, 0, 0, 0}, {0, 0, 640, 480}, std::nullopt},
      {"negative size", {0, 0, -640, 480}, {0, 0, 640, 480}, std::nullopt},
      {"placeholder of a page not laid out", {-1, -1, 1, 1}, {0, 0, 1280, 1024}, std::nullopt},
      {"not a number", {kNaN, 0, 640, 480}, {0, 0, 640, 480}, std::nullopt},
      {"far too small", {0, 0, 100000, 100000}, {0, 0, 640, 480}, std::nullopt},
  };
  for (const ScaleCase& each : cases) {
    EXPECT_EQ(scaleBetween(each.reported, each.screen), each.scale) << each.name;
  }
}

TEST(DisplayScale, ConvertsEveryEdge) {
  Frame screen = toScreen({15, 481, 108, 22}, 2.0);
  EXPECT_EQ(screen.x, 30);
  EXPECT_EQ(screen.y, 962);
  EXPECT_EQ(screen.width, 216);
  EXPECT_EQ(screen.height, 44);
}

TEST(DisplayScale, ConvertsFromAWindowsOrigin) {
  Frame screen = toScreen({16, 385, 55, 40}, 2.0, Point{205, 155});
  EXPECT_EQ(screen.x, 237);
  EXPECT_EQ(screen.y, 925);
  EXPECT_EQ(screen.width, 110);
  EXPECT_EQ(screen.height, 80);
}

struct OriginCase {
  const char* name;
  Frame topLevel;  // the window's own extents as the toolkit reports them
  Frame client;    // its client area on the X server
  std::optional<Point> origin;
};

TEST(DisplayScale, WindowRelativeOriginIsTheClientAreaInsideEvenMargins) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  const OriginCase cases[] = {
      {"no margins", {0, 0, 355, 487}, {200, 150, 355, 487}, Point{200, 150}},
      {"resize borders of five", {0, 0, 355, 487}, {200, 150, 365, 497}, Point{205, 155}},
      {"at the screen's origin", {0, 0, 355, 487}, {0, 0, 365, 497}, Point{5, 5}},
      {"window not at its own origin", {200, 150, 355, 487}, {200, 150, 355, 487}, std::nullopt},
      {"larger than the client area", {0, 0, 400, 487}, {200, 150, 365, 497}, std::nullopt},
      {"another window, far larger", {0, 0, 300, 200}, {0, 0, 1280, 1024}, std::nullopt},
      {"empty extents", {0, 0, 0, 0}, {200, 150, 10, 10}, std::nullopt},
      {"not a number", {0, 0, kNaN, 487}, {200, 150, 365, 497}, std::nullopt},
  };
  for (const OriginCase& each : cases) {
    std::optional<Point> origin = windowRelativeOrigin(each.topLevel, each.client);
    ASSERT_EQ(origin.has_value(), each.origin.has_value()) << each.name;
    if (origin) {
      EXPECT_EQ(origin->x, each.origin->x) << each.name;
      EXPECT_EQ(origin->y, each.origin->y) << each.name;
    }
  }
}

struct RelativeScaleCase {
  const char* name;
  Frame topLevel;  // the window's own extents, at (0, 0), in the toolkit's pixels
  Frame client;    // its client area on the X server
  std::optional<double> scale;
};

TEST(DisplayScale, AWindowRelativeToolkitsScaleIsTheLargestWholeOneItsWindowFits) {
  const RelativeScaleCase cases[] = {
      {"unscaled", {0, 0, 355, 487}, {200, 150, 355, 487}, 1.0},
      {"unscaled, resize borders of five", {0, 0, 355, 487}, {200, 150, 365, 497}, 1.0},
      {"GDK_SCALE=2", {0, 0, 355, 487}, {200, 150, 710, 974}, 2.0},
      {"GDK_SCALE=2, borders of five points", {0, 0, 355, 487}, {200, 150, 730, 994}, 2.0},
      {"GDK_SCALE=3", {0, 0, 355, 487}, {0, 0, 1065, 1461}, 3.0},
      {"not at its own origin", {10, 10, 355, 487}, {200, 150, 710, 974}, std::nullopt},
      {"another window, far larger", {0, 0, 300, 200}, {0, 0, 1280, 1024}, std::nullopt},
      {"larger than the client area", {0, 0, 400, 487}, {200, 150, 365, 497}, std::nullopt},
      {"empty extents", {0, 0, 0, 0}, {200, 150, 10, 10}, std::nullopt},
  };
  for (const RelativeScaleCase& each : cases) {
    EXPECT_EQ(windowRelativeScale(each.topLevel, each.client), each.scale) << each.name;
  }
}

}  // namespace
}  // namespace qor::platform
