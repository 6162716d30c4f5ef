#include "core/window_geometry.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/native_failure.h"

namespace qor {

namespace {

// A frame read as a standardised rectangle: the smaller edge is the minimum, extents are
// non-negative, whatever sign the stored width and height carry.
double minX(const Frame& frame) {
  return std::min(frame.x, frame.x + frame.width);
}
double minY(const Frame& frame) {
  return std::min(frame.y, frame.y + frame.height);
}
double extentX(const Frame& frame) {
  return std::fabs(frame.width);
}
double extentY(const Frame& frame) {
  return std::fabs(frame.height);
}

bool within(double a, double b) {
  return std::fabs(a - b) <= WindowGeometry::kTolerance;
}

// A frame with a non-finite edge would turn offsets into meaningless screen points, so it is
// refused together with empty frames.
bool usable(const Frame& frame) {
  const bool finite = std::isfinite(frame.x) && std::isfinite(frame.y) &&
                      std::isfinite(frame.x + frame.width) && std::isfinite(frame.y + frame.height);
  return finite && extentX(frame) > 0 && extentY(frame) > 0;
}

Point offsetIn(std::string_view space, double x, double y, const Frame& frame,
               const std::optional<Size>& pixels) {
  if (space == "windowPoints") {
    return {x, y};
  }
  if (space == "imagePixels") {
    if (!pixels || !(pixels->width > 0) || !(pixels->height > 0)) {
      throw invalidArgument("imagePixels requires a capture observation");
    }
    return {x * extentX(frame) / pixels->width, y * extentY(frame) / pixels->height};
  }
  throw invalidArgument("Use windowPoints or imagePixels");
}

}  // namespace

// Built member by member in key order: an observation builds one per element, and the
// initializer-list form allocates a temporary array for every pair.
Json WindowGeometry::json(const Frame& frame) {
  Json result = Json::object();
  auto& members = result.get_ref<Json::object_t&>();
  members.emplace_hint(members.end(), "height", extentY(frame));
  members.emplace_hint(members.end(), "width", extentX(frame));
  members.emplace_hint(members.end(), "x", frame.x);
  members.emplace_hint(members.end(), "y", frame.y);
  return result;
}

void WindowGeometry::write(wire::Writer& out, const Frame& frame) {
  out.beginObject();
  out.key("height");
  out.number(extentY(frame));
  out.key("width");
  out.number(extentX(frame));
  out.key("x");
  out.number(frame.x);
  out.key("y");
  out.number(frame.y);
  out.endObject();
}

bool WindowGeometry::matches(const Frame& a, const Frame& b) {
  return within(minX(a), minX(b)) && within(minY(a), minY(b)) && within(extentX(a), extentX(b)) &&
         within(extentY(a), extentY(b));
}

Point WindowGeometry::point(double x, double y, std::string_view space, const Frame& frame,
                            const std::optional<Size>& pixels) {
  if (!std::isfinite(x) || !std::isfinite(y) || !usable(frame)) {
    throw invalidArgument("Invalid window coordinates");
  }
  const Point offset = offsetIn(space, x, y, frame, pixels);
  // Written so that a NaN offset also counts as outside.
  if (offset.x < 0 || offset.y < 0 || !(offset.x < extentX(frame)) ||
      !(offset.y < extentY(frame))) {
    throw invalidArgument("Point is outside the observed window");
  }
  return {minX(frame) + offset.x, minY(frame) + offset.y};
}

std::optional<std::size_t> WindowSelection::preferredIndex(
    const std::vector<std::optional<Frame>>& frames, const std::vector<Frame>& windowFrames,
    const std::optional<Frame>& focusedFrame) {
  if (focusedFrame) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      if (frames[i] && WindowGeometry::matches(*frames[i], *focusedFrame)) {
        return i;
      }
    }
  }
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (!frames[i]) {
      continue;
    }
    const Frame& record = *frames[i];
    const bool seen = std::any_of(windowFrames.begin(), windowFrames.end(), [&](const Frame& w) {
      return WindowGeometry::matches(record, w);
    });
    if (seen) {
      return i;
    }
  }
  if (!frames.empty()) {
    return 0;
  }
  return std::nullopt;
}

bool WindowSelection::acceptsForeground(std::ptrdiff_t index,
                                        const std::vector<std::optional<Frame>>& frames,
                                        const std::optional<Frame>& focusedFrame) {
  if (index < 0 || static_cast<std::size_t>(index) >= frames.size()) {
    return false;
  }
  if (index == 0) {
    return true;
  }
  const std::optional<Frame>& record = frames[static_cast<std::size_t>(index)];
  return record && focusedFrame && WindowGeometry::matches(*record, *focusedFrame);
}

}  // namespace qor
