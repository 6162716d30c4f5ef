#include "bridge/user_input_monitor.h"

namespace qor {

UserInputMonitor::UserInputMonitor(desktop::Desktop& desktop, std::uint64_t firstEpoch)
    : desktop_(desktop), epoch_(std::make_shared<std::uint64_t>(firstEpoch)) {}

void UserInputMonitor::start() {
  if (handle_) {
    return;
  }
  std::weak_ptr<std::uint64_t> counter = epoch_;
  handle_ = desktop_.addGlobalMonitor([counter](const desktop::MonitoredEvent& event) {
    std::shared_ptr<std::uint64_t> epoch = counter.lock();
    if (epoch && event.sourceUserData != eventMarker) {
      ++*epoch;
    }
  });
}

void UserInputMonitor::stop() {
  if (handle_) {
    desktop_.removeMonitor(*handle_);
    handle_.reset();
  }
}

}  // namespace qor
