#pragma once
// The private directory that window captures are written to, and the files in it that this
// process wrote and has not released. Only those may be deleted on the controller's request; the
// whole directory goes at the orderly exit. Main thread only.

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>

#include "desktop/desktop.h"

namespace qor {

class CaptureFiles {
 public:
  // Creates the private directory inside `temporaryDirectory`; throws std::runtime_error when it
  // cannot.
  explicit CaptureFiles(const std::filesystem::path& temporaryDirectory);
  CaptureFiles(const CaptureFiles&) = delete;
  CaptureFiles& operator=(const CaptureFiles&) = delete;

  // Always absolute: the controller reads it against its own working directory.
  const std::filesystem::path& directory() const { return directory_; }

  // Writes `image` as "<id>.png" in the directory, readable by the owner only, and owns it.
  // Throws "captureFailed" when the file cannot be written, PlatformFailure when it cannot be
  // protected.
  std::filesystem::path create(const std::string& id, const desktop::Image& image);
  // Takes `path` as a capture of this process, which release() may delete.
  void own(const std::string& path);
  bool owns(const std::string& path) const { return owned_.contains(path); }
  std::size_t size() const { return owned_.size(); }
  bool empty() const { return owned_.empty(); }

  // Deletes a file this process owns, named exactly as it was handed out. Throws
  // "invalidArgument" for any other path, PlatformFailure when the deletion fails (the file stays
  // owned, so that the release can be retried).
  void release(const std::string& path);
  // Deletes the directory with everything in it, owned or not.
  void removeAll();

 private:
  std::filesystem::path directory_;
  std::set<std::string> owned_;
};

// Creates "qor-native-" + a new upper-case UUID inside `temporaryDirectory` with mode 0700.
std::filesystem::path createCaptureDirectory(const std::filesystem::path& temporaryDirectory);

}  // namespace qor
