// The observation store: at most 32 observations, each checked against the live application and
// window at the moment it is used.

#include <algorithm>
#include <charconv>
#include <system_error>
#include <vector>

#include "bridge/accessibility.h"
#include "bridge/native_runtime.h"
#include "core/native_parameters.h"
#include "core/window_geometry.h"

namespace qor {
namespace {

constexpr std::size_t kMaxObservations = 32;

NativeFailure observeAgain() {
  return NativeFailure("staleObservation", "Observe the selected application again before acting");
}

NativeFailure windowChanged() {
  return NativeFailure("staleObservation",
                       "The selected window moved, resized or closed; observe again");
}

NativeFailure controlChanged() {
  return NativeFailure("staleObservation", "The control changed; observe again");
}

// Whether the observation was made of this very process of this application.
bool sameApplication(const Observation& observation, const desktop::RunningApplication& app) {
  const bool hasBundleID = app.bundleID && !app.bundleID->empty();
  return hasBundleID && observation.bundleID == *app.bundleID && observation.pid == app.pid &&
         observation.launchDate == app.launchDate;
}

// Whether the observed window is still on screen within the tolerance of its observed frame.
bool windowUnchanged(desktop::Desktop& desktop, const Observation& observation) {
  for (const desktop::WindowRecord& record : windowRecords(desktop, observation.pid)) {
    if (recordNumber(record) == observation.windowID) {
      std::optional<Frame> frame = recordFrame(record);
      return frame && WindowGeometry::matches(*observation.frame, *frame);
    }
  }
  return false;
}

}  // namespace

const ElementReference* Observation::reference(std::string_view ref) const {
  // "e" and the number, as the walk writes it: no sign, no leading zero.
  if (ref.size() < 2 || ref.front() != 'e' || ref[1] == '0') {
    return nullptr;
  }
  std::size_t number = 0;
  const char* const end = ref.data() + ref.size();
  const auto [last, error] = std::from_chars(ref.data() + 1, end, number);
  if (error != std::errc() || last != end || number > elements.size()) {
    return nullptr;
  }
  return &elements[number - 1];
}

std::pair<desktop::RunningApplication, Observation> NativeRuntime::validatedObservation(
    const Json& params) {
  desktop::RunningApplication app = targetApp(params);
  const std::string id = NativeParameters::string(params, "observationId");
  auto found = observations.find(id);
  if (found == observations.end()) {
    throw observeAgain();
  }
  const Observation& observation = found->second;
  if (!sameApplication(observation, app) || !(observation.expires > clock().wallNow())) {
    throw observeAgain();
  }
  if (observation.windowID && observation.frame && !windowUnchanged(desktop_, observation)) {
    throw windowChanged();
  }
  return {std::move(app), observation};
}

desktop::ElementRef NativeRuntime::element(const Json& params, const Observation& observation) {
  const ElementReference* found = observation.reference(NativeParameters::string(params, "ref"));
  if (found == nullptr) {
    throw controlChanged();
  }
  const ElementReference& reference = *found;
  if (axString(desktop_, reference.element, "AXRole") != reference.role ||
      axString(desktop_, reference.element, "AXTitle") != reference.title) {
    throw controlChanged();
  }
  return reference.element;
}

void NativeRuntime::pruneObservations() {
  const runtime::WallTime now = clock().wallNow();
  std::erase_if(observations, [now](const auto& entry) { return entry.second.expires <= now; });
  if (observations.size() <= kMaxObservations) {
    return;
  }
  // Earliest expiry first; equal expiries keep the map's order.
  std::vector<decltype(observations)::iterator> byExpiry;
  byExpiry.reserve(observations.size());
  for (auto it = observations.begin(); it != observations.end(); ++it) {
    byExpiry.push_back(it);
  }
  std::stable_sort(byExpiry.begin(), byExpiry.end(), [](const auto& a, const auto& b) {
    return a->second.expires < b->second.expires;
  });
  const std::size_t excess = observations.size() - kMaxObservations;
  for (std::size_t i = 0; i < excess; ++i) {
    observations.erase(byExpiry[i]);
  }
}

}  // namespace qor
