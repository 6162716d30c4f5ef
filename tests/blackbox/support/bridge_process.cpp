#include "blackbox/support/bridge_process.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace qor::testing {

std::string bridgePath() {
  const char* path = std::getenv("QOR_NATIVE_BINARY");
  if (path == nullptr || *path == '\0') {
    throw std::runtime_error("QOR_NATIVE_BINARY names no executable");
  }
  return path;
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qor-blackbox-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ChildOptions isolatedOptions(const std::filesystem::path& temporary) {
  ChildOptions options;
  options.environment = {
      {"TMPDIR", temporary.string()},       {"DISPLAY", std::nullopt},
      {"WAYLAND_DISPLAY", std::nullopt},    {"DBUS_SESSION_BUS_ADDRESS", std::nullopt},
      {"AT_SPI_BUS_ADDRESS", std::nullopt}, {"QOR_TRACE", std::nullopt},
  };
  return options;
}

std::unique_ptr<ChildProcess> startBridge(const std::filesystem::path& temporary,
                                          bool nonBlockingStreams) {
  ChildOptions options = isolatedOptions(temporary);
  options.nonBlockingStreams = nonBlockingStreams;
  return std::make_unique<ChildProcess>(bridgePath(), options);
}

std::string failureLine(std::string_view code, std::string_view message, std::string_view id) {
  std::string line = R"({"error":{"code":")";
  line += code;
  line += R"(","details":{},"message":")";
  line += message;
  line += R"("},"id":)";
  line += id;
  line += "}\n";
  return line;
}

std::vector<std::string> entriesOf(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace qor::testing
