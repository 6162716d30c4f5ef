#pragma once
// Shrinks a window image so that a model receives no more pixels than it asked for.

#include <cstdint>

#include "core/png.h"

namespace qor::mcp {

// The size `width` x `height` takes when its longest side is brought down to `longestSide`,
// keeping the aspect ratio (each side at least 1). Unchanged when it already fits.
struct Size {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};
Size fittedSize(std::uint32_t width, std::uint32_t height, std::uint32_t longestSide);

// `image` scaled to `size` (no larger than the image) by averaging the source pixels each target
// pixel covers, so text and thin lines fade rather than vanish.
RgbaImage downscale(const RgbaImage& image, Size size);

}  // namespace qor::mcp
