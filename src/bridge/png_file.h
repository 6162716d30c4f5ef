#pragma once
// Writes an RGBA image as a PNG file.

#include <filesystem>

#include "core/png.h"
#include "desktop/desktop.h"

namespace qor {

enum class PngWriteResult {
  written,
  cannotCreate,  // the file could not be created; nothing was written
  cannotSave,    // encoding or writing the image failed; the partial file has been removed
};

// The settings window captures are written with: the controller waits for every capture, and the
// file is read once from a local disk, so time counts more than size.
inline PngSettings captureSettings() {
  return quickPngSettings();
}

// Creates `path`, which must not exist yet, readable and writable by the owner only, and writes
// `image` into it. A file that existed before is never touched.
PngWriteResult writePng(const std::filesystem::path& path, const desktop::Image& image,
                        const PngSettings& settings = captureSettings());

}  // namespace qor
