#pragma once
// The stored snapshot behind an observation id, and the handle behind each element reference.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "core/geometry.h"
#include "desktop/desktop.h"
#include "runtime/clock.h"

namespace qor {

struct ElementReference {
  desktop::ElementRef element;  // kept alive while the observation is stored
  std::string role;             // "AXRole" at observation time, in full
  std::string title;            // "AXTitle" at observation time, in full
};

struct Observation {
  std::string id;
  std::string bundleID;
  desktop::Pid pid = 0;
  std::optional<desktop::LaunchDate> launchDate;
  std::optional<std::uint32_t> windowID;
  std::optional<Frame> frame;
  std::optional<Size> pixelSize;  // set only for window captures
  runtime::WallTime expires;
  std::map<std::string, ElementReference> elements;
};

}  // namespace qor
