#pragma once
// Application icons: a desktop entry's Icon key found through the freedesktop icon theme lookup
// and rendered to a square PNG.
//
// The lookup follows the freedesktop icon theme rules: the current theme (GTK's
// gtk-icon-theme-name from settings.ini, else Adwaita), the themes it inherits, then hicolor; in
// each theme the directories whose size matches first, then the closest size; then the icon
// directories and /usr/share/pixmaps themselves. An absolute Icon value names the file.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qor::platform {

// One directory of an icon theme, from its group in index.theme.
struct IconDirectory {
  enum class Type { fixed, scalable, threshold };
  std::string path;  // relative to the theme's folder
  Type type = Type::threshold;
  int size = 0;
  int scale = 1;
  int minSize = 0;
  int maxSize = 0;
  int threshold = 2;
};

struct IconThemeIndex {
  std::vector<IconDirectory> directories;  // in the order Directories lists them
  std::vector<std::string> inherits;
};

// Reads index.theme; directories without a usable Size are left out.
IconThemeIndex parseIconThemeIndex(const std::string& text);

// The icon theme's size rules, for icons at scale 1.
bool directoryMatchesSize(const IconDirectory& directory, int size);
int directorySizeDistance(const IconDirectory& directory, int size);

// Where icons are looked for.
struct IconSearch {
  std::vector<std::filesystem::path> baseDirectories;  // $HOME/.icons, $XDG_DATA_*/icons, pixmaps
  std::string theme;                                   // the current theme
};

// From the environment: XDG_DATA_HOME, XDG_DATA_DIRS, HOME, XDG_CONFIG_HOME and XDG_CONFIG_DIRS.
IconSearch iconSearchFromEnvironment();

// The file for an Icon value at `size`, or nothing.
std::optional<std::filesystem::path> findIcon(const std::string& icon, int size,
                                              const IconSearch& search);

// The image file rendered to `size` x `size` PNG bytes (scaled keeping its proportions, centred
// on a transparent square). Nothing when the file cannot be read as an image.
std::optional<std::vector<std::uint8_t>> renderIconPNG(const std::filesystem::path& file, int size);

// A desktop entry's Icon value found in the environment's icon themes and rendered to `size` x
// `size` PNG bytes; nothing when it is not found or cannot be read.
std::optional<std::vector<std::uint8_t>> iconPNG(const std::string& icon, int size);

}  // namespace qor::platform
