#pragma once
// PNG images in memory and on their way to and from files: the one PNG encoder and decoder of the
// program, for window captures and for the images the assistant is shown.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

namespace qor {

// 8-bit RGBA pixels, rows top to bottom, no padding between rows.
struct RgbaImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

// How the encoder trades time for size. A field left at kLibraryDefault keeps the PNG library's
// own choice; `filters` is a mask of the library's filter-choice flags.
struct PngSettings {
  static constexpr int kLibraryDefault = -1;
  int zlibLevel = kLibraryDefault;  // 0 (stored) to 9 (smallest)
  int zlibStrategy = kLibraryDefault;
  int filters = kLibraryDefault;
};

// Fast settings for images that are read once and soon: zlib level 1 with the Sub filter.
PngSettings quickPngSettings();

// Encodes `rgba` (exactly width * height * 4 bytes) into `file`; false when encoding or writing
// failed.
bool encodePng(std::FILE* file, std::uint32_t width, std::uint32_t height,
               std::span<const std::uint8_t> rgba, const PngSettings& settings);
// The same into memory; nothing when encoding failed.
std::optional<std::vector<std::uint8_t>> encodePng(std::uint32_t width, std::uint32_t height,
                                                   std::span<const std::uint8_t> rgba,
                                                   const PngSettings& settings);

// Decodes any PNG into 8-bit RGBA; nothing when the bytes are not a PNG the decoder accepts or
// the image would need more than `largestImageBytes` of memory.
std::optional<RgbaImage> decodePng(std::span<const std::uint8_t> png,
                                   std::size_t largestImageBytes = std::size_t{1} << 30);

}  // namespace qor
