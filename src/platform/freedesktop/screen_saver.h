#pragma once
// Whether the screen is locked: the session's org.freedesktop.ScreenSaver service, asked with
// GetActive. A session without that service counts as unlocked. The guard asks before every
// piece of physical input, so a call costs one round trip to the session bus and never starts a
// service. Main thread only.

#include <optional>

#include "platform/dbus/dbus.h"

namespace qor::platform {

class ScreenSaver {
 public:
  // True when the screen saver is active, false when it is not or no such service runs, nothing
  // when the session bus or the service does not answer.
  std::optional<bool> locked();

 private:
  dbus::Bus bus_;
  bool opened_ = false;
};

}  // namespace qor::platform
