#include "core/png.h"

#include <spng.h>

#include <cstdlib>
#include <memory>

namespace qor {
namespace {

struct ContextDeleter {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};
using Context = std::unique_ptr<spng_ctx, ContextDeleter>;

bool apply(spng_ctx* context, const PngSettings& settings) {
  auto set = [context](spng_option option, int value) {
    return value == PngSettings::kLibraryDefault || spng_set_option(context, option, value) == 0;
  };
  return set(SPNG_IMG_COMPRESSION_LEVEL, settings.zlibLevel) &&
         set(SPNG_IMG_COMPRESSION_STRATEGY, settings.zlibStrategy) &&
         set(SPNG_FILTER_CHOICE, settings.filters);
}

// Sets the header and encodes the pixels into whatever output the context was given.
bool encodeInto(spng_ctx* context, std::uint32_t width, std::uint32_t height,
                std::span<const std::uint8_t> rgba) {
  // The buffer must hold exactly one RGBA row per pixel row.
  if (rgba.size() != std::size_t{width} * height * 4) {
    return false;
  }
  spng_ihdr header{};
  header.width = width;
  header.height = height;
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  return spng_set_ihdr(context, &header) == 0 &&
         spng_encode_image(context, rgba.data(), rgba.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE) ==
             0;
}

}  // namespace

// Measured on a 2,560 x 1,600 capture (bench/capture_png_bench.cpp): zlib level 1 with the Sub
// filter on every row takes about a sixth of the library default's processor time on an
// application window and an eighth on a photo-like image, for files 1.2 to 1.35 times the size.
// Without any filter a window compresses a little better still, but photos and gradients grow to
// nearly twice the size; Sub holds up on both.
PngSettings quickPngSettings() {
  return PngSettings{.zlibLevel = 1,
                     .zlibStrategy = PngSettings::kLibraryDefault,
                     .filters = SPNG_FILTER_CHOICE_SUB};
}

bool encodePng(std::FILE* file, std::uint32_t width, std::uint32_t height,
               std::span<const std::uint8_t> rgba, const PngSettings& settings) {
  Context context(spng_ctx_new(SPNG_CTX_ENCODER));
  return context && spng_set_png_file(context.get(), file) == 0 && apply(context.get(), settings) &&
         encodeInto(context.get(), width, height, rgba);
}

std::optional<std::vector<std::uint8_t>> encodePng(std::uint32_t width, std::uint32_t height,
                                                   std::span<const std::uint8_t> rgba,
                                                   const PngSettings& settings) {
  Context context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context || spng_set_option(context.get(), SPNG_ENCODE_TO_BUFFER, 1) != 0 ||
      !apply(context.get(), settings) || !encodeInto(context.get(), width, height, rgba)) {
    return std::nullopt;
  }
  std::size_t size = 0;
  int error = 0;
  std::unique_ptr<void, decltype(&std::free)> buffer(
      spng_get_png_buffer(context.get(), &size, &error), &std::free);
  if (!buffer || error != 0) {
    return std::nullopt;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer.get());
  return std::vector<std::uint8_t>(bytes, bytes + size);
}

std::optional<RgbaImage> decodePng(std::span<const std::uint8_t> png,
                                   std::size_t largestImageBytes) {
  Context context(spng_ctx_new(0));
  spng_ihdr header{};
  std::size_t size = 0;
  if (!context || spng_set_png_buffer(context.get(), png.data(), png.size()) != 0 ||
      spng_get_ihdr(context.get(), &header) != 0 ||
      spng_decoded_image_size(context.get(), SPNG_FMT_RGBA8, &size) != 0 ||
      size > largestImageBytes) {
    return std::nullopt;
  }
  RgbaImage image{header.width, header.height, std::vector<std::uint8_t>(size)};
  if (spng_decode_image(context.get(), image.rgba.data(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) !=
      0) {
    return std::nullopt;
  }
  return image;
}

}  // namespace qor
