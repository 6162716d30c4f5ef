#include <algorithm>
#include <cmath>

#include "bridge/accessibility.h"
#include "bridge/native_runtime.h"
#include "bridge/platform_result.h"
#include "core/identifiers.h"
#include "core/native_parameters.h"
#include "core/window_geometry.h"

namespace qor {
namespace {

using desktop::ShareableWindow;

constexpr auto kCaptureLifetime = std::chrono::seconds(30);

// Windows of the target's process on the normal window layer, in listing order.
std::vector<ShareableWindow> candidatesOf(const std::vector<ShareableWindow>& listed,
                                          desktop::Pid pid) {
  std::vector<ShareableWindow> candidates;
  for (const ShareableWindow& window : listed) {
    if (window.ownerPID && *window.ownerPID == pid && window.layer == 0) {
      candidates.push_back(window);
    }
  }
  return candidates;
}

const ShareableWindow* withNumber(const std::vector<ShareableWindow>& candidates,
                                  std::optional<std::uint32_t> number) {
  if (!number) {
    return nullptr;
  }
  auto found =
      std::find_if(candidates.begin(), candidates.end(),
                   [&](const ShareableWindow& window) { return window.number == *number; });
  return found == candidates.end() ? nullptr : &*found;
}

// One pixel dimension: points times the scale, nearest integer with halves away from zero, at
// least one pixel.
std::uint32_t pixels(double points, double scale) {
  double rounded = std::round(points * scale);
  if (!(rounded >= 1.0)) {
    return 1;
  }
  return static_cast<std::uint32_t>(std::min(rounded, 4294967295.0));
}

// Pixels per point. A window without extent would divide by zero; report the filter's scale,
// which is what the image was made with.
double scaleOf(std::uint32_t imagePixels, double framePoints, double filterScale) {
  return framePoints > 0 ? imagePixels / framePoints : filterScale;
}

}  // namespace

runtime::Task<Json> NativeRuntime::capture(const Json& params) {
  desktop::RunningApplication app = targetApp(params);
  if (!desktop_.preflightScreenCapture()) {
    throw NativeFailure("missingPermission", "macOS Screen Recording access is required",
                        Json{{"permission", "screenCapture"}});
  }

  runtime::Completion<desktop::Result<std::vector<ShareableWindow>>> listing(loop_);
  desktop_.shareableWindows([listing](auto result) { listing.resolve(std::move(result)); });
  std::vector<ShareableWindow> listed = valueOrThrow(co_await listing);
  co_await runtime::throwIfCancelled();

  std::vector<ShareableWindow> candidates = candidatesOf(listed, app.pid);
  std::optional<std::uint32_t> requested = NativeParameters::windowID(params);
  const ShareableWindow* chosen = nullptr;
  if (requested) {
    chosen = withNumber(candidates, requested);
  } else {
    auto records = windowRecords(desktop_, app.pid);
    auto preferred = preferredWindowRecord(desktop_, app.pid, records);
    chosen = withNumber(candidates, preferred ? recordNumber(*preferred) : std::nullopt);
    if (chosen == nullptr && !candidates.empty()) {
      chosen = &candidates.front();
    }
  }
  if (chosen == nullptr) {
    throw NativeFailure("windowUnavailable",
                        "Selected application has no available on-screen window");
  }
  ShareableWindow window = *chosen;

  std::uint32_t width = pixels(window.frame.width, window.pointPixelScale);
  std::uint32_t height = pixels(window.frame.height, window.pointPixelScale);
  runtime::Completion<desktop::Result<desktop::Image>> screenshot(loop_);
  desktop_.captureWindow(window, width, height,
                         [screenshot](auto result) { screenshot.resolve(std::move(result)); });
  desktop::Image image = valueOrThrow(co_await screenshot);
  co_await runtime::throwIfCancelled();

  // Nothing below suspends: the file, its registration and the observation appear together.
  auto records = windowRecords(desktop_, app.pid);
  auto record = std::find_if(records.begin(), records.end(),
                             [&](const auto& each) { return recordNumber(each) == window.number; });
  std::optional<Frame> current = record == records.end() ? std::nullopt : recordFrame(*record);
  if (!current || !WindowGeometry::matches(window.frame, *current)) {
    throw NativeFailure("staleObservation", "Window changed while capturing; capture again");
  }

  std::string id = ids::newUUID();
  std::filesystem::path path = captures_.create(id, image);

  runtime::WallTime expires = clock().wallNow() + kCaptureLifetime;
  Observation observation{id,
                          app.bundleID.value_or(""),
                          app.pid,
                          app.launchDate,
                          window.number,
                          window.frame,
                          Size{double(image.width), double(image.height)},
                          expires,
                          {}};
  observations_.add(std::move(observation));

  auto expiresSeconds =
      std::chrono::floor<std::chrono::seconds>(expires.time_since_epoch()).count();
  co_return Json{{"observationId", id},
                 {"bundleId", app.bundleID.value_or("")},
                 {"pid", app.pid},
                 {"windowId", window.number},
                 {"path", path.string()},
                 {"mimeType", "image/png"},
                 {"frame", WindowGeometry::json(window.frame)},
                 {"width", image.width},
                 {"height", image.height},
                 {"scaleX", scaleOf(image.width, window.frame.width, window.pointPixelScale)},
                 {"scaleY", scaleOf(image.height, window.frame.height, window.pointPixelScale)},
                 {"expiresAt", ids::iso8601UTC(expiresSeconds)}};
}

// Deletes only files this process wrote and owns; the path must match exactly.
Json NativeRuntime::releaseCapture(const Json& params) {
  captures_.release(NativeParameters::string(params, "path"));
  return Json{{"released", true}};
}

}  // namespace qor
