#pragma once
// Finds the user-facing application bundles installed on disk. Reads directories and Info.plist
// files and nothing else; never reports an error (whatever cannot be read is passed over) and
// keeps no state between calls. Synchronous on the caller's thread.

#include <plist/plist.h>

#include <filesystem>
#include <vector>

#include "core/installed_application.h"

namespace qor {

class ApplicationDiscovery {
 public:
  ApplicationDiscovery() = delete;

  // "/Applications", the user's "Applications" folder, "/System/Applications" and
  // "/System/Library/CoreServices/Applications", in that order; nothing checks that they exist.
  // The home folder comes from $HOME, else the password database; without either it is left out.
  static std::vector<std::filesystem::path> standardRoots();

  // One record per bundle identifier found below `roots`, sorted by name with
  // localizedStandardCompare. Roots are walked in order, depth first, entries of a folder in byte
  // order of their names, so the first copy found wins. Entries of a root are at depth 0; folders
  // are opened only while their depth is below `maxDepth`.
  static std::vector<InstalledApplication> installed(
      const std::vector<std::filesystem::path>& roots, int maxDepth);

 private:
  struct Walk;

  static void visit(Walk& walk, const std::filesystem::path& directory, int depth);
  static void consider(Walk& walk, const std::filesystem::path& bundle);

  // The flag rule of Info.plist switches: numbers and booleans by value, strings "true", "yes"
  // and "1" in any case; absent and anything else is false.
  static bool truthy(plist_t value);
};

}  // namespace qor
