#include "platform/atspi/display_scale.h"

#include <cmath>

namespace qor::platform {
namespace {

constexpr double kScaleStep = 0.25;
// Toolkits scale by small factors; anything larger is two different rectangles.
constexpr double kLargestScale = 4.0;
// Wider margins than this are not a border or a shadow but another window.
constexpr double kWidestMargin = 64.0;

bool near(double reported, double screen, double scale) {
  return std::fabs(reported * scale - screen) <= scale / 2 + 1.0;
}

}  // namespace

std::optional<double> scaleBetween(const Frame& reported, const Frame& screen) {
  if (!(reported.width > 0 && reported.height > 0 && screen.width > 0 && screen.height > 0)) {
    return std::nullopt;
  }
  const double scale = std::round(screen.width / reported.width / kScaleStep) * kScaleStep;
  if (!(scale >= kScaleStep && scale <= kLargestScale)) {
    return std::nullopt;
  }
  bool same = near(reported.x, screen.x, scale) && near(reported.y, screen.y, scale) &&
              near(reported.width, screen.width, scale) &&
              near(reported.height, screen.height, scale);
  return same ? std::optional(scale) : std::nullopt;
}

Frame toScreen(const Frame& reported, double scale, Point origin) {
  return Frame{origin.x + reported.x * scale, origin.y + reported.y * scale, reported.width * scale,
               reported.height * scale};
}

bool reportsAtOrigin(const Frame& topLevel) {
  return std::fabs(topLevel.x) <= 0.5 && std::fabs(topLevel.y) <= 0.5;
}

std::optional<Point> windowRelativeOrigin(const Frame& topLevel, const Frame& client) {
  const double marginX = (client.width - topLevel.width) / 2;
  const double marginY = (client.height - topLevel.height) / 2;
  auto fits = [](double margin) { return margin >= 0 && margin <= kWidestMargin; };
  if (!(reportsAtOrigin(topLevel) && topLevel.width > 0 && topLevel.height > 0 && fits(marginX) &&
        fits(marginY))) {
    return std::nullopt;
  }
  return Point{client.x + marginX, client.y + marginY};
}

std::optional<double> windowRelativeScale(const Frame& topLevel, const Frame& client) {
  // The largest scale first: at a smaller one the same window fits with wider margins.
  for (double scale = kLargestScale; scale >= 1; scale -= 1) {
    if (windowRelativeOrigin(toScreen(topLevel, scale), client)) {
      return scale;
    }
  }
  return std::nullopt;
}

}  // namespace qor::platform
