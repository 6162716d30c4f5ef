#pragma once
// Whether the screen is locked: the session's org.freedesktop.ScreenSaver service, asked with
// GetActive. A session without that service counts as unlocked. Asking never starts a service.
// The guard asks again only when the service announced a change since it last asked
// (changes()). Main thread only.

#include <cstdint>
#include <optional>

#include "platform/dbus/dbus.h"

namespace qor::platform {

class ScreenSaver {
 public:
  // True when the screen saver is active, false when it is not or no such service runs, nothing
  // when the session bus or the service does not answer.
  std::optional<bool> locked();
  // How many times the screen saver has announced a change so far (its ActiveChanged signal,
  // or the service coming or going), counted from the signals already received, without a
  // round trip. Nothing when the signals cannot be followed.
  std::optional<std::uint64_t> changes();

 private:
  void open();
  static int noteChange(sd_bus_message* message, void* self, sd_bus_error* error);

  dbus::Bus bus_;
  bool opened_ = false;
  bool following_ = false;
  std::uint64_t changes_ = 0;
};

}  // namespace qor::platform
