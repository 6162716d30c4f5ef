// The guard before every piece of physical input: the observed application in front, the
// observed window still its front window, the screen unlocked. Checked in this order.

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "bridge/accessibility.h"
#include "bridge/native_runtime.h"
#include "core/native_failure.h"
#include "core/window_geometry.h"

namespace qor {
namespace {

NativeFailure notInForeground() {
  return NativeFailure(
      "focusUnavailable",
      "The selected application is not in the foreground; focus and observe again before "
      "sending physical input",
      Json{{"reason", "windowNotForeground"}, {"focused", false}});
}

NativeFailure otherWindowInFront() {
  return NativeFailure("staleObservation",
                       "A different window is now in front; observe the current window before "
                       "typing or clicking");
}

bool applicationInFront(desktop::Desktop& desktop, const desktop::RunningApplication& app) {
  if (desktop.isTerminated(app)) {
    return false;
  }
  std::optional<desktop::RunningApplication> front = desktop.frontmostApplication();
  return front && front->pid == app.pid;
}

bool windowInFront(desktop::Desktop& desktop, desktop::Pid pid, std::uint32_t windowID) {
  std::vector<desktop::WindowRecord> records = windowRecords(desktop, pid);
  auto observed = std::find_if(records.begin(), records.end(), [&](const auto& record) {
    return record.number == static_cast<std::int64_t>(windowID);
  });
  if (observed == records.end()) {
    return false;
  }
  std::ptrdiff_t index = std::distance(records.begin(), observed);
  if (index == 0) {
    // The application's frontmost window needs no comparison with its focused window, which
    // would cost a round trip to the application for every typed character.
    return true;
  }
  std::vector<std::optional<Frame>> frames;
  frames.reserve(records.size());
  for (const desktop::WindowRecord& record : records) {
    frames.push_back(recordFrame(record));
  }
  return WindowSelection::acceptsForeground(index, frames, focusedWindowFrame(desktop, pid));
}

}  // namespace

void NativeRuntime::requireForeground(const desktop::RunningApplication& app,
                                      const Observation& observation) {
  if (!applicationInFront(desktop_, app)) {
    throw notInForeground();
  }
  if (observation.windowID && !windowInFront(desktop_, app.pid, *observation.windowID)) {
    throw otherWindowInFront();
  }
  if (desktop_.screenLocked() == true) {
    throw NativeFailure("sessionUnavailable", "Unlock the Mac to continue visual operation");
  }
}

}  // namespace qor
