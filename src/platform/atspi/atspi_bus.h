#pragma once
// The D-Bus side of the Linux desktop: the session bus (accessibility switch, well-known names)
// and the AT-SPI accessibility bus (registered applications, their process ids, and direct
// peer-to-peer connections to each application where it offers them, which halve the cost of
// every request by bypassing the bus daemon).
//
// Reads of the accessibility walk go through call pipes of their own (call_pipe.h), several
// per application: the toolkit answers one request per connection in each turn of its main
// loop, so requests spread over a few connections cost it markedly less each. Everything else
// goes through sd-bus.
//
// Every connection's descriptor is watched by the main loop so that nothing piles up unread
// between requests. Main thread only.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "desktop/desktop.h"
#include "platform/dbus/call_pipe.h"
#include "platform/dbus/dbus.h"
#include "runtime/event_loop.h"

namespace qor::platform {

inline constexpr const char* kAtspiRootPath = "/org/a11y/atspi/accessible/root";
inline constexpr const char* kAtspiNullPath = "/org/a11y/atspi/null";

struct AtspiApplication {
  std::string busName;
  desktop::Pid pid = 0;
};

// Where requests for one application go: direct connections (no destination) or the bus. The
// channel holds its own references: a connection the bus layer closes (its application went
// away) stays a valid object whose calls fail.
struct AtspiChannel {
  std::shared_ptr<sd_bus> bus;
  std::string destination;  // empty on a direct connection
  // For the walk's reads, never empty; calls are spread over all of them.
  std::vector<std::shared_ptr<dbus::CallPipe>> pipes;
  const char* destinationOrNull() const {
    return destination.empty() ? nullptr : destination.c_str();
  }
};

class AtspiBus {
 public:
  // `rootProperty` reads a string property of the X root window (for AT_SPI_BUS).
  AtspiBus(runtime::EventLoop& loop,
           std::function<std::optional<std::string>(const std::string&)> rootProperty);
  ~AtspiBus();
  AtspiBus(const AtspiBus&) = delete;
  AtspiBus& operator=(const AtspiBus&) = delete;

  // Whether the accessibility bus can be reached; connects on first use and tries again at
  // most once a second after a failure.
  bool reachable();
  // org.a11y.Status IsEnabled on the session bus; nothing without a session bus. A launcher that
  // is there but too busy to answer in time gives its last answer again: a loaded machine must
  // not read as a withdrawn permission.
  std::optional<bool> accessibilityEnabled();
  void enableAccessibility();
  // Whether a well-known name has an owner on the session bus.
  bool sessionNameHasOwner(const std::string& name);

  // Registered applications in the registry's order, each with its process id.
  std::vector<AtspiApplication> applications();
  std::optional<desktop::Pid> pidOf(const std::string& busName);
  std::optional<AtspiChannel> channel(const std::string& busName);

 private:
  struct Connection {
    dbus::Bus bus;
    runtime::EventLoop::WatchId watch = 0;
  };
  struct WatchedPipe {
    std::shared_ptr<dbus::CallPipe> pipe;
    runtime::EventLoop::WatchId watch = 0;
  };
  // The connections to one application, or (under the empty name) to the bus.
  struct Pipes {
    std::vector<WatchedPipe> pipes;
    bool open() const;
    std::vector<std::shared_ptr<dbus::CallPipe>> shared() const;
  };

  sd_bus* session();
  std::unique_ptr<Connection> watched(dbus::Bus bus, std::function<void()> onClosed);
  std::optional<std::string> accessibilityBusAddress();
  void forgetPeer(const std::string& busName);
  // The pipes under `key`, connected to `address` anew when any of them has closed; empty when
  // they cannot be connected.
  std::vector<std::shared_ptr<dbus::CallPipe>> openPipes(const std::string& key,
                                                         const std::string& address,
                                                         dbus::CallPipe::Peer peer, int count);
  void closePipes(const std::string& key);

  runtime::EventLoop& loop_;
  std::function<std::optional<std::string>(const std::string&)> rootProperty_;
  std::unique_ptr<Connection> session_;
  bool sessionTried_ = false;
  std::unique_ptr<Connection> a11y_;
  std::string a11yAddress_;
  std::optional<std::chrono::steady_clock::time_point> lastAttempt_;
  std::optional<bool> lastEnabled_;  // the launcher's last answer
  // Unique names are never reused on a bus, so what is learned about one stays true.
  std::map<std::string, desktop::Pid> pids_;
  std::map<std::string, std::unique_ptr<Connection>> peers_;
  std::set<std::string> withoutPeer_;
  std::map<std::string, Pipes> pipes_;  // by bus name; "" for the bus itself
  std::map<std::string, std::string> peerAddresses_;
};

}  // namespace qor::platform
