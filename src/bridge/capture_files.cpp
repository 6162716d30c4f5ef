#include <sys/stat.h>

#include <stdexcept>
#include <system_error>

#include "bridge/native_runtime.h"
#include "bridge/platform_result.h"
#include "core/identifiers.h"
#include "core/native_parameters.h"

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

// Deletes only files this process wrote and registered; the path must match exactly.
Json NativeRuntime::releaseCapture(const Json& params) {
  std::string path = NativeParameters::string(params, "path");
  if (!captureFiles.contains(path)) {
    throw invalidArgument("Path is not a capture created by this process");
  }
  std::error_code error;
  if (!std::filesystem::remove(path, error)) {
    if (!error) {
      error = std::make_error_code(std::errc::no_such_file_or_directory);
    }
    throw PlatformFailure("The capture file could not be removed: " + error.message());
  }
  captureFiles.erase(path);
  return Json{{"released", true}};
}

}  // namespace qor
