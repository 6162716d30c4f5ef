#pragma once
// Every geometric decision of the bridge: the JSON form of a frame, the one-point tolerance that
// decides whether two frames are the same window, the mapping of a caller's coordinates to a
// global screen point, and the choice of the window to work on. Pure functions, any thread.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/geometry.h"
#include "core/json.h"

namespace qor {

namespace WindowGeometry {

// Two frames describe the same window when every edge and extent is within this many points.
inline constexpr double kTolerance = 1.0;

// {"x", "y", "width", "height"} as doubles: the origin as stored, the extents non-negative.
Json json(const Frame& frame);
// The same object written straight into a response being streamed.
void write(wire::Writer& out, const Frame& frame);

// True when minimum x, minimum y, width and height each differ by at most kTolerance (in that
// order). Any NaN makes the frames differ.
bool matches(const Frame& a, const Frame& b);

// Maps (x, y) given in `space` ("windowPoints", or "imagePixels" of a capture whose pixel size is
// `pixels`) to a global point inside `frame`. The valid area is [0, width) x [0, height).
// Throws NativeFailure "invalidArgument" with "Invalid window coordinates", "imagePixels requires a
// capture observation", "Use windowPoints or imagePixels" or "Point is outside the observed
// window".
Point point(double x, double y, std::string_view space, const Frame& frame,
            const std::optional<Size>& pixels);

}  // namespace WindowGeometry

namespace WindowSelection {

// The window record to work on: the first record matching the focused window, else the first
// matching any Accessibility window, else record 0. `frames` is front to back and may hold gaps;
// nullopt only when `frames` is empty.
std::optional<std::size_t> preferredIndex(const std::vector<std::optional<Frame>>& frames,
                                          const std::vector<Frame>& windowFrames,
                                          const std::optional<Frame>& focusedFrame);

// Whether the observed record at `index` still counts as the application's front window: always
// for index 0, otherwise only when its frame matches the focused window. False out of range.
bool acceptsForeground(std::ptrdiff_t index, const std::vector<std::optional<Frame>>& frames,
                       const std::optional<Frame>& focusedFrame);

}  // namespace WindowSelection

}  // namespace qor
