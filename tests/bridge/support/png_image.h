#pragma once
// Reads PNG bytes or files back with the PNG library, so tests check real images rather than
// trusting the writer.

#include <spng.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <vector>

namespace qor::testing {

struct DecodedPng {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;  // 8-bit RGBA rows, top row first
};

inline std::optional<DecodedPng> decodePng(const std::vector<std::uint8_t>& bytes) {
  std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)> context(spng_ctx_new(0), &spng_ctx_free);
  spng_ihdr header{};
  std::size_t size = 0;
  if (!context || spng_set_png_buffer(context.get(), bytes.data(), bytes.size()) != 0 ||
      spng_get_ihdr(context.get(), &header) != 0 ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0) {
    return std::nullopt;
  }
  DecodedPng image{header.width, header.height, std::vector<std::uint8_t>(size)};
  if (spng_decode_image(context.get(), image.rgba.data(), size, SPNG_FMT_RGBA8, 0) != 0) {
    return std::nullopt;
  }
  return image;
}

inline std::optional<DecodedPng> readPng(const std::filesystem::path& file) {
  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  return decodePng(std::vector<std::uint8_t>(std::istreambuf_iterator<char>(stream), {}));
}

}  // namespace qor::testing
