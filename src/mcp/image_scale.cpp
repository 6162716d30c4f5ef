#include "mcp/image_scale.h"

#include <algorithm>
#include <cmath>

namespace qor::mcp {
namespace {

// The source rows or columns [first, last) that target row or column `index` covers.
struct Span {
  std::uint32_t first = 0;
  std::uint32_t last = 0;
};

Span covered(std::uint32_t index, std::uint32_t target, std::uint32_t source) {
  auto first = static_cast<std::uint32_t>(std::uint64_t{index} * source / target);
  auto last = static_cast<std::uint32_t>(std::uint64_t{index + 1} * source / target);
  return {first, std::max(last, first + 1)};
}

}  // namespace

Size fittedSize(std::uint32_t width, std::uint32_t height, std::uint32_t longestSide) {
  const std::uint32_t longest = std::max(width, height);
  if (longest <= longestSide || longest == 0) {
    return {width, height};
  }
  auto scaled = [&](std::uint32_t side) {
    return std::max<std::uint32_t>(
        1, static_cast<std::uint32_t>(std::lround(double(side) * longestSide / longest)));
  };
  return {scaled(width), scaled(height)};
}

RgbaImage downscale(const RgbaImage& image, Size size) {
  RgbaImage out{size.width, size.height,
                std::vector<std::uint8_t>(std::size_t{size.width} * size.height * 4)};
  for (std::uint32_t y = 0; y < size.height; ++y) {
    const Span rows = covered(y, size.height, image.height);
    for (std::uint32_t x = 0; x < size.width; ++x) {
      const Span columns = covered(x, size.width, image.width);
      std::uint64_t sums[4] = {0, 0, 0, 0};
      for (std::uint32_t row = rows.first; row < rows.last; ++row) {
        const std::uint8_t* pixel =
            &image.rgba[(std::size_t{row} * image.width + columns.first) * 4];
        for (std::uint32_t column = columns.first; column < columns.last; ++column, pixel += 4) {
          for (int channel = 0; channel < 4; ++channel) {
            sums[channel] += pixel[channel];
          }
        }
      }
      const std::uint64_t count =
          std::uint64_t{rows.last - rows.first} * (columns.last - columns.first);
      std::uint8_t* target = &out.rgba[(std::size_t{y} * size.width + x) * 4];
      for (int channel = 0; channel < 4; ++channel) {
        target[channel] = static_cast<std::uint8_t>((sums[channel] + count / 2) / count);
      }
    }
  }
  return out;
}

}  // namespace qor::mcp
