#pragma once
// The observations the controller may still act on: at most 32, each checked against the live
// application and window at the moment it is used. Main thread only.

#include <cstddef>
#include <map>
#include <string>

#include "bridge/observation.h"
#include "desktop/desktop.h"
#include "runtime/clock.h"

namespace qor {

class ObservationStore {
 public:
  ObservationStore(desktop::Desktop& desktop, const runtime::Clock& clock);
  ObservationStore(const ObservationStore&) = delete;
  ObservationStore& operator=(const ObservationStore&) = delete;

  // Stores `observation` under its id, replacing one of the same id, then drops the expired ones
  // and, beyond 32, those that expire first.
  void add(Observation observation);
  // Forgets one observation (an action batch uses its observation up) or all of them.
  void remove(const std::string& id);
  void clear();

  // The stored observation `id` when it was made of this very process of `app`, has not expired
  // and its window is still on screen within a point of its observed frame; throws
  // "staleObservation" otherwise. The reference is valid until the store next changes.
  const Observation& validate(const desktop::RunningApplication& app, const std::string& id) const;
  // The element behind `ref` when it still has the role and title it was observed with; throws
  // "staleObservation" otherwise.
  desktop::ElementRef element(const Observation& observation, const std::string& ref) const;

  bool contains(const std::string& id) const { return observations_.contains(id); }
  // REQUIRES: contains(id).
  const Observation& at(const std::string& id) const { return observations_.at(id); }
  std::size_t size() const { return observations_.size(); }
  bool empty() const { return observations_.empty(); }

 private:
  void prune();
  bool windowUnchanged(const Observation& observation) const;

  desktop::Desktop& desktop_;
  const runtime::Clock& clock_;
  std::map<std::string, Observation> observations_;
};

}  // namespace qor
