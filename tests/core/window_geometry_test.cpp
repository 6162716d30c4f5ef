#include "core/window_geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/native_failure.h"

namespace qor {
namespace {

using Frames = std::vector<std::optional<Frame>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Frame kFrame{200, 100, 800, 600};

// The message point() refuses with ("" when it succeeds); every refusal is an invalidArgument
// record with empty details.
std::string refusal(double x, double y, std::string_view space, const Frame& frame = kFrame,
                    const std::optional<Size>& pixels = std::nullopt) {
  try {
    WindowGeometry::point(x, y, space, frame, pixels);
    return "";
  } catch (const NativeFailure& failure) {
    EXPECT_EQ(failure.code(), "invalidArgument");
    EXPECT_EQ(failure.details(), Json::object());
    return failure.message();
  }
}

void expectPoint(const Point& actual, double x, double y) {
  EXPECT_DOUBLE_EQ(actual.x, x);
  EXPECT_DOUBLE_EQ(actual.y, y);
}

TEST(WindowGeometryJson, WritesOriginAsStoredAndNonNegativeExtentsAsDoubles) {
  const Json json = WindowGeometry::json(kFrame);
  EXPECT_EQ(json, (Json{{"x", 200.0}, {"y", 100.0}, {"width", 800.0}, {"height", 600.0}}));
  EXPECT_TRUE(json["x"].is_number_float());
  EXPECT_TRUE(json["height"].is_number_float());
  EXPECT_EQ(WindowGeometry::json(Frame{1000, 700, -800, -600}),
            (Json{{"x", 1000.0}, {"y", 700.0}, {"width", 800.0}, {"height", 600.0}}));
}

TEST(WindowGeometryMatches, AllowsOnePointOnEachEdgeAndExtent) {
  const Frame frame{100, 100, 800, 600};
  EXPECT_TRUE(WindowGeometry::matches(frame, Frame{101, 99, 801, 599}));
  EXPECT_FALSE(WindowGeometry::matches(frame, Frame{101.5, 100, 800, 600}));
  EXPECT_FALSE(WindowGeometry::matches(frame, Frame{100, 98.9, 800, 600}));
  EXPECT_FALSE(WindowGeometry::matches(frame, Frame{100, 100, 801.01, 600}));
  EXPECT_FALSE(WindowGeometry::matches(frame, Frame{100, 100, 800, 598.5}));
  EXPECT_FALSE(WindowGeometry::matches(frame, Frame{kNaN, 100, 800, 600}));
  EXPECT_FALSE(WindowGeometry::matches(Frame{0, 0, kNaN, 1}, Frame{0, 0, kNaN, 1}));
  // Negative extents describe the same rectangle as its standardised form.
  EXPECT_TRUE(WindowGeometry::matches(Frame{900, 700, -800, -600}, frame));
}

TEST(WindowGeometryPoint, MapsWindowPointsInsideTheHalfOpenBox) {
  expectPoint(WindowGeometry::point(0, 0, "windowPoints", kFrame, std::nullopt), 200, 100);
  expectPoint(WindowGeometry::point(799.9, 599.9, "windowPoints", kFrame, std::nullopt), 999.9,
              699.9);
  expectPoint(
      WindowGeometry::point(10, 20, "windowPoints", Frame{1000, 700, -800, -600}, std::nullopt),
      210, 120);
  for (const Point outside : {Point{800, 10}, Point{10, 600}, Point{-0.1, 10}, Point{10, -1}}) {
    EXPECT_EQ(refusal(outside.x, outside.y, "windowPoints"),
              "Point is outside the observed window");
  }
}

TEST(WindowGeometryPoint, ScalesImagePixelsByTheCapturedSize) {
  const Frame frame{0, 0, 800, 600};
  const Size pixels{1600, 1200};
  expectPoint(WindowGeometry::point(1599, 1199, "imagePixels", frame, pixels), 799.5, 599.5);
  expectPoint(WindowGeometry::point(0, 0, "imagePixels", kFrame, pixels), 200, 100);
  EXPECT_EQ(refusal(1600, 0, "imagePixels", frame, pixels), "Point is outside the observed window");
  const std::string missing = "imagePixels requires a capture observation";
  EXPECT_EQ(refusal(1, 1, "imagePixels", frame), missing);
  EXPECT_EQ(refusal(1, 1, "imagePixels", frame, Size{0, 1200}), missing);
  EXPECT_EQ(refusal(1, 1, "imagePixels", frame, Size{1600, -1}), missing);
  EXPECT_EQ(refusal(1, 1, "imagePixels", frame, Size{kNaN, 1200}), missing);
}

TEST(WindowGeometryPoint, ChecksCoordinatesThenFrameThenSpaceThenBounds) {
  const std::string invalid = "Invalid window coordinates";
  EXPECT_EQ(refusal(10, 10, "WindowPoints"), "Use windowPoints or imagePixels");
  EXPECT_EQ(refusal(kNaN, 10, "nonsense"), invalid);
  EXPECT_EQ(refusal(10, INFINITY, "windowPoints"), invalid);
  EXPECT_EQ(refusal(10, 10, "nonsense", Frame{0, 0, 0, 600}), invalid);
  EXPECT_EQ(refusal(10, 10, "windowPoints", Frame{0, 0, 800, 0}), invalid);
  // A frame with a non-finite edge cannot give a meaningful screen point.
  EXPECT_EQ(refusal(1, 1, "windowPoints", Frame{kNaN, 0, 800, 600}), invalid);
  EXPECT_EQ(refusal(1, 1, "windowPoints", Frame{0, 0, INFINITY, 600}), invalid);
  // The bounds are checked only once the space is known.
  EXPECT_EQ(refusal(5000, 10, "imagePixels"), "imagePixels requires a capture observation");
}

TEST(WindowSelectionPreferredIndex, PrefersFocusedThenAnyAccessibilityWindowThenFront) {
  const Frame a{0, 0, 100, 100};
  const Frame b{200, 0, 100, 100};
  const Frame c{400, 0, 100, 100};
  EXPECT_EQ(WindowSelection::preferredIndex({std::nullopt, a, b}, {}, std::nullopt), 0u);
  EXPECT_EQ(WindowSelection::preferredIndex({}, {a}, a), std::nullopt);
  // The focused window beats an earlier record that another Accessibility window matches.
  EXPECT_EQ(WindowSelection::preferredIndex({a, b, c}, {a, c}, Frame{400.5, 0, 100, 100}), 2u);
  // Otherwise the first record any Accessibility window matches.
  EXPECT_EQ(WindowSelection::preferredIndex({a, std::nullopt, b, c}, {c, b}, Frame{9, 9, 9, 9}),
            2u);
  EXPECT_EQ(WindowSelection::preferredIndex({a, b}, {Frame{1, 1, 101, 99}}, std::nullopt), 0u);
  EXPECT_EQ(WindowSelection::preferredIndex({b, c}, {a}, a), 0u);
}

TEST(WindowSelectionAcceptsForeground, FrontRecordAlwaysOthersOnlyWhenFocused) {
  const Frame a{0, 0, 100, 100};
  const Frames frames{a, Frame{200, 0, 100, 100}, std::nullopt};
  EXPECT_TRUE(WindowSelection::acceptsForeground(0, frames, std::nullopt));
  EXPECT_TRUE(WindowSelection::acceptsForeground(0, Frames{std::nullopt}, a));
  EXPECT_FALSE(WindowSelection::acceptsForeground(1, frames, std::nullopt));
  EXPECT_TRUE(WindowSelection::acceptsForeground(1, frames, Frame{201, 1, 99, 101}));
  EXPECT_FALSE(WindowSelection::acceptsForeground(1, frames, a));
  EXPECT_FALSE(WindowSelection::acceptsForeground(2, frames, a));
  EXPECT_FALSE(WindowSelection::acceptsForeground(5, frames, a));
  EXPECT_FALSE(WindowSelection::acceptsForeground(-1, frames, a));
}

}  // namespace
}  // namespace qor
