#include "bridge/png_file.h"

#include <fcntl.h>
#include <spng.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace qor {
namespace {

struct ContextDeleter {
  void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

bool apply(spng_ctx* context, const PngSettings& settings) {
  auto set = [context](spng_option option, int value) {
    return value == PngSettings::kLibraryDefault || spng_set_option(context, option, value) == 0;
  };
  return set(SPNG_IMG_COMPRESSION_LEVEL, settings.zlibLevel) &&
         set(SPNG_IMG_COMPRESSION_STRATEGY, settings.zlibStrategy) &&
         set(SPNG_FILTER_CHOICE, settings.filters);
}

bool encode(std::FILE* file, const desktop::Image& image, const PngSettings& settings) {
  // The buffer must hold exactly one RGBA row per pixel row.
  std::size_t expected = std::size_t{image.width} * image.height * 4;
  if (image.rgba.size() != expected) {
    return false;
  }
  std::unique_ptr<spng_ctx, ContextDeleter> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context || spng_set_png_file(context.get(), file) != 0 || !apply(context.get(), settings)) {
    return false;
  }
  spng_ihdr header{};
  header.width = image.width;
  header.height = image.height;
  header.bit_depth = 8;
  header.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
  if (spng_set_ihdr(context.get(), &header) != 0) {
    return false;
  }
  return spng_encode_image(context.get(), image.rgba.data(), image.rgba.size(), SPNG_FMT_PNG,
                           SPNG_ENCODE_FINALIZE) == 0;
}

}  // namespace

// The controller waits for every capture, and the file is read once from a local disk, so time
// counts more than size. Measured on a 2,560 x 1,600 capture (bench/capture_png_bench.cpp): zlib
// level 1 with the Sub filter on every row takes about a sixth of the library default's processor
// time on an application window and an eighth on a photo-like image, for files 1.2 to 1.35 times
// the size. Without any filter a window compresses a little better still, but photos and
// gradients grow to nearly twice the size; Sub holds up on both.
PngSettings captureSettings() {
  return PngSettings{.zlibLevel = 1,
                     .zlibStrategy = PngSettings::kLibraryDefault,
                     .filters = SPNG_FILTER_CHOICE_SUB};
}

PngWriteResult writePng(const std::filesystem::path& path, const desktop::Image& image,
                        const PngSettings& settings) {
  // O_EXCL: the file is new and ours, so removing it after a failure cannot hit anything else.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return PngWriteResult::cannotCreate;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    unlink(path.c_str());
    return PngWriteResult::cannotCreate;
  }
  bool encoded = encode(file, image, settings);
  bool closed = std::fclose(file) == 0;
  if (!encoded || !closed) {
    unlink(path.c_str());
    return PngWriteResult::cannotSave;
  }
  return PngWriteResult::written;
}

}  // namespace qor
