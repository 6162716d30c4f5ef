#pragma once
// The stored snapshot behind an observation id, and the handle behind each element reference.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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
  // In the order the references were issued: "e1" is the first, "e<n>" the n-th.
  std::vector<ElementReference> elements;

  // The element behind `ref`, or nullptr when this observation never issued that reference.
  const ElementReference* reference(std::string_view ref) const;
};

}  // namespace qor
