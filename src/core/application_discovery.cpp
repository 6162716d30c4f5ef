#include "core/application_discovery.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "core/collation.h"

namespace fs = std::filesystem;

namespace qor {

// The accumulator of one call of installed(): bundle identifier (exact) to its first copy found.
struct ApplicationDiscovery::Walk {
  int maxDepth = 0;
  std::map<std::string, InstalledApplication> found;
};

namespace {

// An Info.plist is a few kilobytes; anything far larger is not one, and reading it whole would
// only cost memory (the parser also takes at most 4 GiB).
constexpr std::uintmax_t kMaxInfoPlistBytes = 16 * 1024 * 1024;

using PlistOwner = std::unique_ptr<void, decltype(&plist_free)>;

std::string lowercasedASCII(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return result;
}

std::string extensionOf(const fs::path& entry) {
  const std::string extension = entry.extension().string();
  return extension.empty() ? extension : lowercasedASCII(extension.substr(1));
}

// A package is a folder the file browser shows as a single item. Without a system registry of
// document types, a folder counts as one when its extension marks a bundle: one of this set.
bool isPackageExtension(const std::string& extension) {
  static constexpr std::array<std::string_view, 6> kPackages = {"app",    "bundle", "framework",
                                                                "plugin", "kext",   "pkg"};
  return std::find(kPackages.begin(), kPackages.end(), extension) != kPackages.end();
}

// The visible entries of one folder sorted by the bytes of their names (code-point order), or
// nothing when the folder cannot be listed.
std::vector<fs::path> listing(const fs::path& directory) {
  std::vector<fs::path> entries;
  std::error_code error;
  fs::directory_iterator iterator(directory, error);
  for (const fs::directory_iterator end; !error && iterator != end; iterator.increment(error)) {
    fs::path entry = iterator->path();
    if (!entry.filename().native().starts_with('.')) {
      entries.push_back(std::move(entry));
    }
  }
  if (error) {
    return {};
  }
  std::sort(entries.begin(), entries.end(), [](const fs::path& a, const fs::path& b) {
    return a.filename().native() < b.filename().native();
  });
  return entries;
}

// The folder may be entered: a real directory (not a link to one) that is not a package.
bool descendable(const fs::path& entry) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(entry, error);
  if (error) {
    return false;
  }
  return fs::is_directory(status) && !isPackageExtension(extensionOf(entry));
}

// The whole Info.plist of a bundle, following symbolic links; only regular files of plausible
// size are read, so a FIFO or device planted there cannot block or flood the walk.
std::optional<std::string> readInfoPlist(const fs::path& bundle) {
  const fs::path file = bundle / "Contents" / "Info.plist";
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      static_cast<std::uintmax_t>(info.st_size) > kMaxInfoPlistBytes) {
    return std::nullopt;
  }
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  std::string contents;
  contents.reserve(static_cast<std::size_t>(info.st_size));
  // Bounded again while reading, in case the file grew since it was looked at.
  std::array<char, 8192> chunk{};
  while (stream.read(chunk.data(), chunk.size()) || stream.gcount() > 0) {
    contents.append(chunk.data(), static_cast<std::size_t>(stream.gcount()));
    if (contents.size() > kMaxInfoPlistBytes) {
      return std::nullopt;
    }
  }
  if (stream.bad()) {
    return std::nullopt;
  }
  return contents;
}

// The top-level dictionary of an XML or binary property list, or an empty owner.
PlistOwner parsedDictionary(const std::string& contents) {
  plist_t root = nullptr;
  if (!contents.empty()) {
    plist_from_memory(contents.data(), static_cast<std::uint32_t>(contents.size()), &root);
  }
  PlistOwner owner(root, &plist_free);
  if (plist_get_node_type(root) != PLIST_DICT) {
    owner.reset();
  }
  return owner;
}

std::optional<std::string> stringValue(plist_t value) {
  if (value == nullptr || plist_get_node_type(value) != PLIST_STRING) {
    return std::nullopt;
  }
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (text == nullptr) {
    return std::string();
  }
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::string> stringFor(plist_t dictionary, const char* key) {
  return stringValue(plist_dict_get_item(dictionary, key));
}

}  // namespace

std::vector<fs::path> ApplicationDiscovery::standardRoots() {
  std::optional<fs::path> home;
  if (const char* variable = std::getenv("HOME"); variable != nullptr && *variable == '/') {
    home = variable;
  } else {
    std::array<char, 4096> buffer{};
    passwd entry{};
    passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_dir != nullptr && result->pw_dir[0] == '/') {
      home = result->pw_dir;
    }
  }
  std::vector<fs::path> roots{"/Applications"};
  // Without a known home the user's folder is left out rather than guessed relative to the
  // working directory.
  if (home) {
    roots.push_back(*home / "Applications");
  }
  roots.emplace_back("/System/Applications");
  roots.emplace_back("/System/Library/CoreServices/Applications");
  return roots;
}

std::vector<InstalledApplication> ApplicationDiscovery::installed(
    const std::vector<fs::path>& roots, int maxDepth) {
  Walk walk;
  walk.maxDepth = maxDepth;
  for (const fs::path& root : roots) {
    std::error_code error;
    const fs::path absolute = root.is_absolute() ? root : fs::absolute(root, error);
    if (!error) {
      visit(walk, absolute, 0);
    }
  }
  std::vector<InstalledApplication> result;
  result.reserve(walk.found.size());
  for (auto& [bundleID, application] : walk.found) {
    result.push_back(std::move(application));
  }
  std::stable_sort(result.begin(), result.end(),
                   [](const InstalledApplication& a, const InstalledApplication& b) {
                     return localizedStandardCompare(a.name, b.name) < 0;
                   });
  return result;
}

void ApplicationDiscovery::visit(Walk& walk, const fs::path& directory, int depth) {
  for (const fs::path& entry : listing(directory)) {
    if (extensionOf(entry) == "app") {
      consider(walk, entry);  // a bundle is never entered
    } else if (depth < walk.maxDepth && descendable(entry)) {
      visit(walk, entry, depth + 1);
    }
  }
}

void ApplicationDiscovery::consider(Walk& walk, const fs::path& bundle) {
  const std::optional<std::string> contents = readInfoPlist(bundle);
  if (!contents) {
    return;
  }
  const PlistOwner owner = parsedDictionary(*contents);
  plist_t info = owner.get();
  if (info == nullptr || stringFor(info, "CFBundlePackageType") != "APPL") {
    return;
  }
  std::optional<std::string> bundleID = stringFor(info, "CFBundleIdentifier");
  if (!bundleID || bundleID->empty()) {
    return;
  }
  if (truthy(plist_dict_get_item(info, "LSBackgroundOnly")) ||
      truthy(plist_dict_get_item(info, "LSUIElement"))) {
    return;
  }
  std::optional<std::string> name = stringFor(info, "CFBundleDisplayName");
  if (!name) {
    name = stringFor(info, "CFBundleName");
  }
  if (!name) {
    name = bundle.stem().string();
  }
  // try_emplace keeps the copy already stored: the first one found wins.
  walk.found.try_emplace(*bundleID,
                         InstalledApplication{*bundleID, std::move(*name), bundle.string()});
}

bool ApplicationDiscovery::truthy(plist_t value) {
  if (value == nullptr) {
    return false;
  }
  switch (plist_get_node_type(value)) {
    case PLIST_BOOLEAN: {
      std::uint8_t flag = 0;
      plist_get_bool_val(value, &flag);
      return flag != 0;
    }
    case PLIST_UINT: {  // negative integers arrive as their two's complement, still non-zero
      std::uint64_t number = 0;
      plist_get_uint_val(value, &number);
      return number != 0;
    }
    case PLIST_REAL: {
      double number = 0;
      plist_get_real_val(value, &number);
      return number != 0;
    }
    case PLIST_STRING: {
      const std::string text = lowercasedASCII(stringValue(value).value_or(""));
      return text == "true" || text == "yes" || text == "1";
    }
    default:
      return false;
  }
}

}  // namespace qor
