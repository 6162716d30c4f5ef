#include "bridge/observation_store.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "bridge/accessibility.h"
#include "core/native_failure.h"
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

}  // namespace

ObservationStore::ObservationStore(desktop::Desktop& desktop, const runtime::Clock& clock)
    : desktop_(desktop), clock_(clock) {}

void ObservationStore::add(Observation observation) {
  std::string id = observation.id;
  observations_.insert_or_assign(std::move(id), std::move(observation));
  prune();
}

void ObservationStore::remove(const std::string& id) {
  observations_.erase(id);
}

void ObservationStore::clear() {
  observations_.clear();
}

const Observation& ObservationStore::validate(const desktop::RunningApplication& app,
                                              const std::string& id) const {
  auto found = observations_.find(id);
  if (found == observations_.end()) {
    throw observeAgain();
  }
  const Observation& observation = found->second;
  if (!sameApplication(observation, app) || !(observation.expires > clock_.wallNow())) {
    throw observeAgain();
  }
  if (observation.windowID && observation.frame && !windowUnchanged(observation)) {
    throw windowChanged();
  }
  return observation;
}

// Whether the observed window is still on screen within the tolerance of its observed frame.
bool ObservationStore::windowUnchanged(const Observation& observation) const {
  for (const desktop::WindowRecord& record : windowRecords(desktop_, observation.pid)) {
    if (recordNumber(record) == observation.windowID) {
      std::optional<Frame> frame = recordFrame(record);
      return frame && WindowGeometry::matches(*observation.frame, *frame);
    }
  }
  return false;
}

desktop::ElementRef ObservationStore::element(const Observation& observation,
                                              const std::string& ref) const {
  const ElementReference* found = observation.reference(ref);
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

void ObservationStore::prune() {
  const runtime::WallTime now = clock_.wallNow();
  std::erase_if(observations_, [now](const auto& entry) { return entry.second.expires <= now; });
  if (observations_.size() <= kMaxObservations) {
    return;
  }
  // Earliest expiry first; equal expiries keep the map's order.
  std::vector<decltype(observations_)::iterator> byExpiry;
  byExpiry.reserve(observations_.size());
  for (auto it = observations_.begin(); it != observations_.end(); ++it) {
    byExpiry.push_back(it);
  }
  std::stable_sort(byExpiry.begin(), byExpiry.end(), [](const auto& a, const auto& b) {
    return a->second.expires < b->second.expires;
  });
  const std::size_t excess = observations_.size() - kMaxObservations;
  for (std::size_t i = 0; i < excess; ++i) {
    observations_.erase(byExpiry[i]);
  }
}

}  // namespace qor
