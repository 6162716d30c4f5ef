#include "bridge/capture_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "bridge/platform_result.h"
#include "bridge/png_file.h"
#include "core/identifiers.h"
#include "core/native_failure.h"

namespace qor {

std::filesystem::path createCaptureDirectory(const std::filesystem::path& temporaryDirectory) {
  std::error_code error;
  // The controller reads capture paths against its own working directory: always absolute.
  std::filesystem::path base = std::filesystem::absolute(temporaryDirectory, error);
  if (error) {
    throw std::runtime_error("cannot create private capture directory");
  }
  std::filesystem::path directory = base / ("qor-native-" + ids::newUUID());
  std::filesystem::create_directories(base, error);
  if (mkdir(directory.c_str(), 0700) != 0 || chmod(directory.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot create private capture directory");
  }
  return directory;
}

CaptureFiles::CaptureFiles(const std::filesystem::path& temporaryDirectory)
    : directory_(createCaptureDirectory(temporaryDirectory)) {}

std::filesystem::path CaptureFiles::create(const std::string& id, const desktop::Image& image) {
  std::filesystem::path path = directory_ / (id + ".png");
  switch (writePng(path, image)) {
    case PngWriteResult::cannotCreate:
      throw NativeFailure("captureFailed", "Could not create capture output");
    case PngWriteResult::cannotSave:
      throw NativeFailure("captureFailed", "Could not save window capture");
    case PngWriteResult::written:
      break;
  }
  if (chmod(path.c_str(), 0600) != 0) {
    throw PlatformFailure(std::string("Could not protect the capture file: ") +
                          std::strerror(errno));
  }
  own(path.string());
  return path;
}

void CaptureFiles::own(const std::string& path) {
  owned_.insert(path);
}

void CaptureFiles::release(const std::string& path) {
  if (!owned_.contains(path)) {
    throw invalidArgument("Path is not a capture created by this process");
  }
  std::error_code error;
  if (!std::filesystem::remove(path, error)) {
    if (!error) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
    }
    throw PlatformFailure("The capture file could not be removed: " + error.message());
  }
  owned_.erase(path);
}

void CaptureFiles::removeAll() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace qor
