#pragma once
// Writes an RGBA image as a PNG file.

#include <filesystem>

#include "desktop/desktop.h"

namespace qor {

enum class PngWriteResult {
  written,
  cannotCreate,  // the file could not be opened for writing
  cannotSave,    // encoding or writing the image failed; a partial file may remain
};

// Creates `path` (which must not exist yet) readable and writable by the owner only.
PngWriteResult writePng(const std::filesystem::path& path, const desktop::Image& image);

}  // namespace qor
