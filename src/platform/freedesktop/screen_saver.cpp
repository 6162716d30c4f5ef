#include "platform/freedesktop/screen_saver.h"

#include <chrono>
#include <string_view>

namespace qor::platform {
namespace {

// Short: a screen saver that does not answer must not hold up typing for long.
constexpr std::chrono::microseconds kTimeout = std::chrono::milliseconds(250);

bool nobodyServes(const sd_bus_error& error) {
  if (!error.name) {
    return false;
  }
  std::string_view name = error.name;
  return name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         name == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

constexpr const char* kActiveChanged =
    "type='signal',interface='org.freedesktop.ScreenSaver',member='ActiveChanged'";
constexpr const char* kOwnerChanged =
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='org.freedesktop.ScreenSaver'";

}  // namespace

void ScreenSaver::open() {
  if (!opened_) {
    opened_ = true;
    bus_ = dbus::openSession();
  }
}

int ScreenSaver::noteChange(sd_bus_message*, void* self, sd_bus_error*) {
  ++static_cast<ScreenSaver*>(self)->changes_;
  return 0;
}

std::optional<std::uint64_t> ScreenSaver::changes() {
  open();
  if (!bus_) {
    return changes_;  // no session bus: never locked, as locked() says
  }
  if (!following_) {
    if (sd_bus_add_match(bus_.get(), nullptr, kActiveChanged, &ScreenSaver::noteChange, this) < 0 ||
        sd_bus_add_match(bus_.get(), nullptr, kOwnerChanged, &ScreenSaver::noteChange, this) < 0) {
      return std::nullopt;
    }
    following_ = true;
  }
  int status = 0;
  while ((status = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  if (status < 0) {
    return std::nullopt;
  }
  return changes_;
}

std::optional<bool> ScreenSaver::locked() {
  open();
  if (!bus_) {
    return false;  // no session bus, so no screen saver on it either
  }
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_method_call(bus_.get(), &raw, "org.freedesktop.ScreenSaver",
                                     "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                                     "GetActive") < 0) {
    return std::nullopt;
  }
  dbus::Message request(raw);
  sd_bus_message_set_auto_start(raw, 0);  // asking must not start a screen saver
  sd_bus_error error{};
  sd_bus_message* reply = nullptr;
  int status =
      sd_bus_call(bus_.get(), raw, static_cast<std::uint64_t>(kTimeout.count()), &error, &reply);
  std::optional<bool> result;
  if (status >= 0) {
    dbus::Message answer(reply);
    int active = 0;
    if (sd_bus_message_read(reply, "b", &active) >= 0) {
      result = active != 0;
    }
  } else if (nobodyServes(error)) {
    result = false;
  }
  sd_bus_error_free(&error);
  return result;
}

}  // namespace qor::platform
