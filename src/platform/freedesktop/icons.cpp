#include "platform/freedesktop/icons.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "core/key_file.h"

namespace qor::platform {
namespace {

namespace fs = std::filesystem;

// Image files larger than this are not icons; reading them would only hold up the listing.
constexpr std::uintmax_t kLargestIconFile = 4 * 1024 * 1024;
constexpr const char* kExtensions[] = {".png", ".svg", ".xpm"};
constexpr const char* kFallbackTheme = "hicolor";
constexpr const char* kDefaultTheme = "Adwaita";

using key_file::Group;

std::vector<std::string> splitList(const std::string& text, char separator) {
  std::vector<std::string> items;
  std::istringstream parts(text);
  std::string item;
  while (std::getline(parts, item, separator)) {
    if (!item.empty()) {
      items.push_back(item);
    }
  }
  return items;
}

std::optional<int> number(const Group& group, const std::string& key) {
  auto found = group.find(key);
  int value = 0;
  if (found == group.end()) {
    return std::nullopt;
  }
  const std::string& text = found->second;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::string> readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string environment(const char* name, const std::string& fallback = "") {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

// A regular, not too large file.
bool usableFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error) && fs::file_size(path, error) <= kLargestIconFile &&
         !error;
}

// The parsed index.theme of a file, read again only when the file changed: hicolor's lists
// hundreds of directories, and a listing asks for it once per application. Main thread only, as
// every call into the backend.
const IconThemeIndex* parsedIndex(const fs::path& file) {
  struct Parsed {
    fs::file_time_type stamp;
    IconThemeIndex index;
  };
  static std::map<fs::path, Parsed> parsed;
  std::error_code error;
  fs::file_time_type stamp = fs::last_write_time(file, error);
  if (error) {
    return nullptr;
  }
  auto known = parsed.find(file);
  if (known != parsed.end() && known->second.stamp == stamp) {
    return &known->second.index;
  }
  std::optional<std::string> text = readFile(file);
  if (!text) {
    return nullptr;
  }
  return &(parsed[file] = Parsed{stamp, parseIconThemeIndex(*text)}).index;
}

// The theme's index.theme: the first base directory that has the theme holds it.
const IconThemeIndex* themeIndex(const std::string& theme, const IconSearch& search) {
  for (const fs::path& base : search.baseDirectories) {
    if (const IconThemeIndex* index = parsedIndex(base / theme / "index.theme")) {
      return index;
    }
  }
  return nullptr;
}

std::optional<fs::path> iconIn(const fs::path& directory, const std::string& name) {
  std::error_code error;
  if (!fs::is_directory(directory, error)) {
    return std::nullopt;
  }
  for (const char* extension : kExtensions) {
    fs::path file = directory / (name + extension);
    if (usableFile(file)) {
      return file;
    }
  }
  return std::nullopt;
}

// The theme's folder in each base directory that has one: hicolor lists hundreds of
// directories, so base directories without the theme are not asked about each of them.
std::vector<fs::path> themeFolders(const std::string& theme, const IconSearch& search) {
  std::vector<fs::path> folders;
  for (const fs::path& base : search.baseDirectories) {
    std::error_code error;
    if (fs::is_directory(base / theme, error)) {
      folders.push_back(base / theme);
    }
  }
  return folders;
}

// The icon theme lookup within one theme: a directory of the right size, else the closest size.
std::optional<fs::path> lookupInTheme(const std::string& name, int size, const std::string& theme,
                                      const IconThemeIndex& index, const IconSearch& search) {
  const std::vector<fs::path> folders = themeFolders(theme, search);
  for (const IconDirectory& directory : index.directories) {
    if (!directoryMatchesSize(directory, size)) {
      continue;
    }
    for (const fs::path& folder : folders) {
      if (std::optional<fs::path> file = iconIn(folder / directory.path, name)) {
        return file;
      }
    }
  }
  std::optional<fs::path> closest;
  int closestDistance = 0;
  for (const IconDirectory& directory : index.directories) {
    int distance = directorySizeDistance(directory, size);
    if (directory.scale != 1 || (closest && distance >= closestDistance)) {
      continue;
    }
    for (const fs::path& folder : folders) {
      if (std::optional<fs::path> file = iconIn(folder / directory.path, name)) {
        closest = file;
        closestDistance = distance;
        break;
      }
    }
  }
  return closest;
}

// The icon theme lookup across themes: the theme, then the themes it inherits, depth first.
std::optional<fs::path> lookupInThemes(const std::string& name, int size, const std::string& theme,
                                       const IconSearch& search, std::set<std::string>& visited) {
  if (!visited.insert(theme).second) {
    return std::nullopt;
  }
  const IconThemeIndex* index = themeIndex(theme, search);
  if (!index) {
    return std::nullopt;
  }
  if (std::optional<fs::path> file = lookupInTheme(name, size, theme, *index, search)) {
    return file;
  }
  for (const std::string& parent : index->inherits) {
    if (std::optional<fs::path> file = lookupInThemes(name, size, parent, search, visited)) {
      return file;
    }
  }
  return std::nullopt;
}

// gtk-icon-theme-name of the first GTK 3 settings.ini that sets it.
std::optional<std::string> configuredTheme() {
  std::vector<fs::path> folders{environment("XDG_CONFIG_HOME", environment("HOME") + "/.config")};
  for (const std::string& folder : splitList(environment("XDG_CONFIG_DIRS", "/etc/xdg"), ':')) {
    folders.emplace_back(folder);
  }
  for (const fs::path& folder : folders) {
    std::optional<std::string> text = readFile(folder / "gtk-3.0" / "settings.ini");
    if (!text) {
      continue;
    }
    key_file::Groups groups = key_file::parse(*text);
    auto settings = groups.find("Settings");
    if (settings != groups.end()) {
      auto theme = settings->second.find("gtk-icon-theme-name");
      if (theme != settings->second.end() && !theme->second.empty()) {
        return theme->second;
      }
    }
  }
  return std::nullopt;
}

struct ObjectUnref {
  void operator()(void* object) const { g_object_unref(object); }
};
using Pixbuf = std::unique_ptr<GdkPixbuf, ObjectUnref>;

}  // namespace

IconThemeIndex parseIconThemeIndex(const std::string& text) {
  key_file::Groups groups = key_file::parse(text);
  IconThemeIndex index;
  const Group& theme = groups["Icon Theme"];
  if (auto inherits = theme.find("Inherits"); inherits != theme.end()) {
    index.inherits = splitList(inherits->second, ',');
  }
  std::vector<std::string> paths;
  for (const char* key : {"Directories", "ScaledDirectories"}) {
    if (auto listed = theme.find(key); listed != theme.end()) {
      for (std::string& path : splitList(listed->second, ',')) {
        paths.push_back(std::move(path));
      }
    }
  }
  for (const std::string& path : paths) {
    auto group = groups.find(path);
    std::optional<int> size = group == groups.end() ? std::nullopt : number(group->second, "Size");
    if (!size || *size <= 0) {
      continue;
    }
    const Group& keys = group->second;
    IconDirectory directory;
    directory.path = path;
    directory.size = *size;
    directory.scale = number(keys, "Scale").value_or(1);
    directory.minSize = number(keys, "MinSize").value_or(*size);
    directory.maxSize = number(keys, "MaxSize").value_or(*size);
    directory.threshold = number(keys, "Threshold").value_or(2);
    auto type = keys.find("Type");
    std::string typeName = type == keys.end() ? "Threshold" : type->second;
    directory.type = typeName == "Fixed"      ? IconDirectory::Type::fixed
                     : typeName == "Scalable" ? IconDirectory::Type::scalable
                                              : IconDirectory::Type::threshold;
    index.directories.push_back(std::move(directory));
  }
  return index;
}

bool directoryMatchesSize(const IconDirectory& directory, int size) {
  if (directory.scale != 1) {
    return false;
  }
  switch (directory.type) {
    case IconDirectory::Type::fixed:
      return directory.size == size;
    case IconDirectory::Type::scalable:
      return directory.minSize <= size && size <= directory.maxSize;
    case IconDirectory::Type::threshold:
      return directory.size - directory.threshold <= size &&
             size <= directory.size + directory.threshold;
  }
  return false;
}

int directorySizeDistance(const IconDirectory& directory, int size) {
  int scale = directory.scale;
  int low = directory.size * scale;
  int high = low;
  if (directory.type == IconDirectory::Type::scalable) {
    low = directory.minSize * scale;
    high = directory.maxSize * scale;
  } else if (directory.type == IconDirectory::Type::threshold) {
    low = (directory.size - directory.threshold) * scale;
    high = (directory.size + directory.threshold) * scale;
  }
  return size < low ? low - size : size > high ? size - high : 0;
}

IconSearch iconSearchFromEnvironment() {
  std::string home = environment("HOME");
  IconSearch search;
  if (!home.empty()) {
    search.baseDirectories.emplace_back(fs::path(home) / ".icons");
  }
  search.baseDirectories.emplace_back(
      fs::path(environment("XDG_DATA_HOME", home + "/.local/share")) / "icons");
  for (const std::string& data :
       splitList(environment("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':')) {
    search.baseDirectories.emplace_back(fs::path(data) / "icons");
  }
  search.baseDirectories.emplace_back("/usr/share/pixmaps");
  search.theme = configuredTheme().value_or(kDefaultTheme);
  return search;
}

std::optional<fs::path> findIcon(const std::string& icon, int size, const IconSearch& search) {
  if (icon.empty()) {
    return std::nullopt;
  }
  fs::path given(icon);
  if (given.is_absolute()) {
    return usableFile(given) ? std::optional<fs::path>(given) : std::nullopt;
  }
  // Some entries name the file ("app.png") instead of the icon.
  std::string name = icon;
  for (const char* extension : kExtensions) {
    if (name.size() > 4 && name.ends_with(extension)) {
      name.resize(name.size() - 4);
    }
  }
  if (name.find('/') != std::string::npos) {
    return std::nullopt;  // a relative path is no icon name
  }
  std::set<std::string> visited;
  for (const std::string& theme : {search.theme, std::string(kFallbackTheme)}) {
    if (std::optional<fs::path> file = lookupInThemes(name, size, theme, search, visited)) {
      return file;
    }
  }
  for (const fs::path& base : search.baseDirectories) {
    if (std::optional<fs::path> file = iconIn(base, name)) {
      return file;
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> renderIconPNG(const fs::path& file, int size) {
  GError* error = nullptr;
  Pixbuf loaded(gdk_pixbuf_new_from_file_at_scale(file.c_str(), size, size, TRUE, &error));
  g_clear_error(&error);
  if (!loaded) {
    return std::nullopt;
  }
  Pixbuf image(gdk_pixbuf_add_alpha(loaded.get(), FALSE, 0, 0, 0));
  Pixbuf square(gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size));
  if (!image || !square) {
    return std::nullopt;
  }
  gdk_pixbuf_fill(square.get(), 0);  // transparent
  int width = std::min(gdk_pixbuf_get_width(image.get()), size);
  int height = std::min(gdk_pixbuf_get_height(image.get()), size);
  gdk_pixbuf_copy_area(image.get(), 0, 0, width, height, square.get(), (size - width) / 2,
                       (size - height) / 2);
  gchar* buffer = nullptr;
  gsize length = 0;
  if (!gdk_pixbuf_save_to_buffer(square.get(), &buffer, &length, "png", &error, nullptr)) {
    g_clear_error(&error);
    return std::nullopt;
  }
  std::vector<std::uint8_t> png(buffer, buffer + length);
  g_free(buffer);
  return png;
}

std::optional<std::vector<std::uint8_t>> iconPNG(const std::string& icon, int size) {
  if (size <= 0) {
    return std::nullopt;
  }
  std::optional<fs::path> file = findIcon(icon, size, iconSearchFromEnvironment());
  return file ? renderIconPNG(*file, size) : std::nullopt;
}

}  // namespace qor::platform
