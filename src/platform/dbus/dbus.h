#pragma once
// Owning wrappers over sd-bus handles and the few blocking calls the backend makes. Everything
// here runs on the main thread; sd-bus objects are not thread-safe.

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qor::platform::dbus {

struct BusClose {
  // Closes without flushing: a peer that stopped reading must not block the bridge.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// Connects to `address`. A message bus needs the Hello handshake (`Kind::messageBus`); a
// peer-to-peer socket does not. Null when the connection cannot be made.
enum class Kind { messageBus, peer };
Bus connect(const std::string& address, Kind kind);

// The user's session bus (DBUS_SESSION_BUS_ADDRESS, else the per-user socket), or null.
Bus openSession();

// The outcome of one call: either a reply message or a D-Bus error name and text.
struct Reply {
  Message message;
  std::string errorName;
  std::string errorText;
  bool ok() const { return message != nullptr; }
};

using Appender = std::function<int(sd_bus_message*)>;

// A method call that waits up to `timeout` for its reply. `destination` may be null on a
// peer-to-peer connection.
Reply call(sd_bus* bus, const char* destination, const char* path, const char* interface,
           const char* member, std::chrono::microseconds timeout, const Appender& append = {});

// Reads a property of type `s` or `b` with org.freedesktop.DBus.Properties.Get.
std::optional<bool> getBoolProperty(sd_bus* bus, const char* destination, const char* path,
                                    const char* interface, const char* property,
                                    std::chrono::microseconds timeout);

// Reads the single string a reply carries, if it carries one.
std::optional<std::string> readString(sd_bus_message* message);

// Whether `name` may be used as a well-known bus name (so that asking the bus about it cannot
// fail for syntax alone).
bool isValidWellKnownName(const std::string& name);

}  // namespace qor::platform::dbus
