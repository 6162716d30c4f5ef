#pragma once

#include <string>

namespace qor {

// An application installed on disk: its bundle identifier (never empty), display name and the
// absolute path of its bundle (or, on Linux, its desktop entry).
struct InstalledApplication {
  std::string bundleID;
  std::string name;
  std::string path;

  friend bool operator==(const InstalledApplication&, const InstalledApplication&) = default;
};

}  // namespace qor
