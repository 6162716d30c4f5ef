// The target rule, "apps.launch" and "apps.focus".
#include <chrono>

#include "bridge/native_runtime.h"
#include "bridge/platform_result.h"
#include "core/native_parameters.h"

namespace qor {
namespace {

// How long an activated application gets to come to the front before we look.
constexpr std::chrono::milliseconds kFocusSettleTime{150};

NativeFailure focusUnavailable() {
  return NativeFailure("focusUnavailable", "The selected application could not become active");
}

}  // namespace

// The first instance with exactly this bundle identifier that has not terminated; the process
// identifier plays no part, so a request cannot choose between instances.
desktop::RunningApplication NativeRuntime::targetApp(const Json& params) {
  std::string bundleID = NativeParameters::string(params, "bundleId");
  for (desktop::RunningApplication& app : desktop_.runningApplications(bundleID)) {
    if (!app.terminated) {
      return std::move(app);
    }
  }
  throw NativeFailure("applicationNotRunning", "The selected application is not running",
                      Json{{"bundleId", bundleID}});
}

runtime::Task<Json> NativeRuntime::launchApplication(const Json& params) {
  std::string bundleID = NativeParameters::string(params, "bundleId");
  std::optional<std::string> location = desktop_.applicationLocation(bundleID);
  if (!location) {
    throw NativeFailure("applicationNotInstalled", "Selected application is not installed",
                        Json{{"bundleId", bundleID}});
  }
  bool activates = NativeParameters::boolean(params, "activate").value_or(true);

  runtime::Completion<desktop::Result<desktop::RunningApplication>> opened(loop_);
  desktop_.openApplication(*location, activates,
                           [opened](desktop::Result<desktop::RunningApplication> result) {
                             opened.resolve(std::move(result));
                           });
  desktop::RunningApplication app = valueOrThrow(co_await opened.cancellable());

  // A missing identifier never matches.
  if (app.bundleID != bundleID) {
    throw NativeFailure("applicationIdentityMismatch",
                        "The opened application does not match the selected application");
  }
  bool running = !desktop_.isTerminated(app);
  co_return Json{{"bundleId", bundleID}, {"pid", app.pid}, {"running", running}};
}

runtime::Task<Json> NativeRuntime::focusApplication(const Json& params) {
  desktop::RunningApplication app = targetApp(params);
  bool accepted = desktop_.activate(app);
  // One wait, no polling: the application either is in front by then or the focus failed.
  co_await runtime::sleepFor(kFocusSettleTime);
  std::optional<desktop::RunningApplication> front = desktop_.frontmostApplication();
  if (!accepted || !front || front->pid != app.pid) {
    throw focusUnavailable();
  }
  co_return Json{{"bundleId", app.bundleID.value_or("")}, {"pid", app.pid}, {"focused", true}};
}

}  // namespace qor
