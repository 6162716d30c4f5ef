#include <filesystem>
#include <system_error>

#include "bridge/native_runtime.h"
#include "bridge/platform_result.h"
#include "core/native_parameters.h"

namespace qor {
namespace {

constexpr std::size_t kMostDocuments = 50;

// One message for every refusal after the bundle identifier, on purpose: the controller is told
// what a valid request looks like rather than which check failed.
NativeFailure unusableRequest() {
  return invalidArgument("Supply installed bundleId and 1...50 existing absolute document paths");
}

// A JSON string may hold a NUL character; the file system would see only the text before it
// and report on a different item than the one that is opened.
bool existsExactly(const std::string& path) {
  std::error_code error;
  return path.find('\0') == std::string::npos && std::filesystem::exists(path, error);
}

std::vector<std::string> documentPaths(const Json& params) {
  const Json* given = NativeParameters::find(params, "paths");
  if (given == nullptr || !given->is_array() || given->empty() || given->size() > kMostDocuments) {
    throw unusableRequest();
  }
  std::vector<std::string> paths;
  for (const Json& each : *given) {
    if (!each.is_string()) {
      throw unusableRequest();
    }
    paths.push_back(each.get<std::string>());
  }
  for (const std::string& path : paths) {
    if (!path.starts_with('/') || !existsExactly(path)) {
      throw unusableRequest();
    }
  }
  return paths;
}

}  // namespace

// Opens existing files in an installed application, starting it when needed.
runtime::Task<Json> NativeRuntime::openDocuments(const Json& params) {
  std::string bundleID = NativeParameters::string(params, "bundleId");
  std::optional<std::string> location = desktop_.applicationLocation(bundleID);
  if (!location) {
    throw unusableRequest();
  }
  std::vector<std::string> paths = documentPaths(params);
  bool activates = NativeParameters::boolean(params, "activate").value_or(true);

  runtime::Completion<desktop::Result<desktop::RunningApplication>> opened(loop_);
  desktop_.openDocuments(paths, *location, activates,
                         [opened](auto result) { opened.resolve(std::move(result)); });
  desktop::RunningApplication app = valueOrThrow(co_await opened.cancellable());
  co_return Json{{"bundleId", bundleID}, {"pid", app.pid}, {"openedPaths", paths}};
}

}  // namespace qor
