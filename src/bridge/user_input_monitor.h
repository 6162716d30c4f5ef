#pragma once
// The user's own mouse and keyboard input, as a count. Every watched event that does not carry the
// bridge's marker advances the epoch; an action batch notes the epoch when it begins and stops when
// it has moved. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>

#include "desktop/desktop.h"

namespace qor {

class UserInputMonitor {
 public:
  // What the bridge puts on every event it posts, so that the monitor can tell its own input from
  // the user's.
  static constexpr std::int64_t eventMarker = 0x514F524E41544956;  // "QORNATIV"

  // Counts from `firstEpoch`; nothing is watched before start().
  explicit UserInputMonitor(desktop::Desktop& desktop, std::uint64_t firstEpoch = 0);
  UserInputMonitor(const UserInputMonitor&) = delete;
  UserInputMonitor& operator=(const UserInputMonitor&) = delete;

  // Installs the monitor unless it is installed already. When the desktop refuses, nothing is
  // watched and the next call tries again.
  void start();
  // Removes the monitor, if installed; the epoch stays where it is.
  void stop();

  // The platform's handle of the installed monitor, or nothing.
  std::optional<desktop::MonitorHandle> handle() const { return handle_; }
  // Unsigned: wraps at 2^64, which a batch's comparison for equality tolerates.
  std::uint64_t epoch() const { return *epoch_; }

 private:
  desktop::Desktop& desktop_;
  std::optional<desktop::MonitorHandle> handle_;
  // Shared with the monitor's handler only weakly, so that a late call after this object is gone
  // does nothing.
  std::shared_ptr<std::uint64_t> epoch_;
};

}  // namespace qor
