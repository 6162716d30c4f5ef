#pragma once
// The built bridge as a child process in a private temporary directory, without a display, so
// that what it answers depends on nothing outside the test.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "blackbox/support/child_process.h"

namespace qor::testing {

// The executable under test, from QOR_NATIVE_BINARY.
std::string bridgePath();

// A fresh directory, removed with everything in it when the object goes.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// TMPDIR set to `temporary`, and no desktop session or trace in the environment.
ChildOptions isolatedOptions(const std::filesystem::path& temporary);

// Starts the bridge with TMPDIR set to `temporary` and no desktop session in its environment.
std::unique_ptr<ChildProcess> startBridge(const std::filesystem::path& temporary,
                                          bool nonBlockingStreams = false);

// The exact failure line the bridge writes: keys sorted, empty details, `id` as JSON text.
std::string failureLine(std::string_view code, std::string_view message, std::string_view id);

// The entries of `directory` (names only), empty when it does not exist.
std::vector<std::string> entriesOf(const std::filesystem::path& directory);

}  // namespace qor::testing
