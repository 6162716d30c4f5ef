#include "bridge/png_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace qor {

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
  bool encoded = encodePng(file, image.width, image.height, image.rgba, settings);
  bool closed = std::fclose(file) == 0;
  if (!encoded || !closed) {
    unlink(path.c_str());
    return PngWriteResult::cannotSave;
  }
  return PngWriteResult::written;
}

}  // namespace qor
