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

bool encode(std::FILE* file, const desktop::Image& image) {
  std::unique_ptr<spng_ctx, ContextDeleter> context(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!context || spng_set_png_file(context.get(), file) != 0) {
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
  // The buffer must hold exactly one RGBA row per pixel row.
  std::size_t expected = std::size_t{image.width} * image.height * 4;
  if (image.rgba.size() != expected) {
    return false;
  }
  return spng_encode_image(context.get(), image.rgba.data(), image.rgba.size(), SPNG_FMT_PNG,
                           SPNG_ENCODE_FINALIZE) == 0;
}

}  // namespace

PngWriteResult writePng(const std::filesystem::path& path, const desktop::Image& image) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    return PngWriteResult::cannotCreate;
  }
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    close(fd);
    return PngWriteResult::cannotCreate;
  }
  bool encoded = encode(file, image);
  bool closed = std::fclose(file) == 0;
  return encoded && closed ? PngWriteResult::written : PngWriteResult::cannotSave;
}

}  // namespace qor
