#include "platform/dbus/dbus.h"

#include <cctype>

namespace qor::platform::dbus {

Bus connect(const std::string& address, Kind kind) {
  sd_bus* raw = nullptr;
  if (address.empty() || sd_bus_new(&raw) < 0) {
    return nullptr;
  }
  Bus bus(raw);
  if (sd_bus_set_address(raw, address.c_str()) < 0 ||
      sd_bus_set_bus_client(raw, kind == Kind::messageBus) < 0 || sd_bus_start(raw) < 0) {
    return nullptr;
  }
  return bus;
}

Bus openSession() {
  sd_bus* raw = nullptr;
  if (sd_bus_open_user(&raw) < 0) {
    return nullptr;
  }
  return Bus(raw);
}

Reply call(sd_bus* bus, const char* destination, const char* path, const char* interface,
           const char* member, std::chrono::microseconds timeout, const Appender& append) {
  Reply result;
  sd_bus_message* raw = nullptr;
  if (!bus || sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member) < 0) {
    result.errorName = "org.freedesktop.DBus.Error.Disconnected";
    return result;
  }
  Message request(raw);
  if (append && append(raw) < 0) {
    result.errorName = "org.freedesktop.DBus.Error.InvalidArgs";
    return result;
  }
  sd_bus_error error{};  // all empty, as SD_BUS_ERROR_NULL
  sd_bus_message* reply = nullptr;
  int status = sd_bus_call(bus, raw, static_cast<std::uint64_t>(timeout.count()), &error, &reply);
  if (status < 0) {
    result.errorName = error.name ? error.name : "org.freedesktop.DBus.Error.Failed";
    result.errorText = error.message ? error.message : "";
  } else {
    result.message.reset(reply);
  }
  sd_bus_error_free(&error);
  return result;
}

std::optional<bool> getBoolProperty(sd_bus* bus, const char* destination, const char* path,
                                    const char* interface, const char* property,
                                    std::chrono::microseconds timeout) {
  Reply reply =
      call(bus, destination, path, "org.freedesktop.DBus.Properties", "Get", timeout,
           [&](sd_bus_message* m) { return sd_bus_message_append(m, "ss", interface, property); });
  if (!reply.ok()) {
    return std::nullopt;
  }
  int value = 0;
  if (sd_bus_message_read(reply.message.get(), "v", "b", &value) < 0) {
    return std::nullopt;
  }
  return value != 0;
}

std::optional<std::string> readString(sd_bus_message* message) {
  const char* text = nullptr;
  if (!message || sd_bus_message_read(message, "s", &text) < 0 || !text) {
    return std::nullopt;
  }
  return std::string(text);
}

// Elements of letters, digits, "_" and "-", none starting with a digit, at least two of them,
// at most 255 bytes in all.
bool isValidWellKnownName(const std::string& name) {
  if (name.empty() || name.size() > 255 || name.front() == '.' || name.back() == '.') {
    return false;
  }
  int elements = 1;
  bool elementStart = true;
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '.') {
      if (elementStart) {
        return false;
      }
      ++elements;
      elementStart = true;
      continue;
    }
    bool allowed = std::isalnum(byte) || c == '_' || c == '-';
    if (!allowed || (elementStart && std::isdigit(byte))) {
      return false;
    }
    elementStart = false;
  }
  return elements >= 2;
}

}  // namespace qor::platform::dbus
