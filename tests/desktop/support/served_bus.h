#pragma once
// A D-Bus server on the far end of a socket pair, run by sd-bus in a thread of its own: the
// other side of the backend's own connections in tests (they authenticate synchronously, so the
// server must answer meanwhile).

#include <systemd/sd-bus.h>

#include <atomic>
#include <functional>
#include <thread>

namespace qor::desktoptest {

class ServedBus {
 public:
  // `install` adds what is served (objects, fallbacks) before the server starts.
  explicit ServedBus(const std::function<void(sd_bus*)>& install);
  ~ServedBus();
  ServedBus(const ServedBus&) = delete;
  ServedBus& operator=(const ServedBus&) = delete;

  // The client's end of the socket pair, handed over once.
  int takeClientFd();

 private:
  sd_bus* bus_ = nullptr;
  int clientFd_ = -1;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

}  // namespace qor::desktoptest
