#pragma once
// Writes an RGBA image as a PNG file.

#include <filesystem>

#include "desktop/desktop.h"

namespace qor {

enum class PngWriteResult {
  written,
  cannotCreate,  // the file could not be created; nothing was written
  cannotSave,    // encoding or writing the image failed; the partial file has been removed
};

// How the encoder trades time for size. A field left at kLibraryDefault keeps the PNG library's
// own choice; `filters` is a mask of the library's filter-choice flags.
struct PngSettings {
  static constexpr int kLibraryDefault = -1;
  int zlibLevel = kLibraryDefault;  // 0 (stored) to 9 (smallest)
  int zlibStrategy = kLibraryDefault;
  int filters = kLibraryDefault;
};

// The settings window captures are written with.
PngSettings captureSettings();

// Creates `path`, which must not exist yet, readable and writable by the owner only, and writes
// `image` into it. A file that existed before is never touched.
PngWriteResult writePng(const std::filesystem::path& path, const desktop::Image& image,
                        const PngSettings& settings = captureSettings());

}  // namespace qor
