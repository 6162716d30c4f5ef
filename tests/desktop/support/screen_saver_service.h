#pragma once
// A stand-in for the desktop's screen saver on the session bus: answers GetActive and, once told
// to lock, announces it with ActiveChanged as screen savers do. Served from a thread of its own.

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <thread>

namespace qor::desktoptest {

class ScreenSaverService {
 public:
  explicit ScreenSaverService(bool active) : active_(active) {
    EXPECT_GE(sd_bus_open_user(&bus_), 0);
    EXPECT_GE(sd_bus_add_object(bus_, nullptr, "/org/freedesktop/ScreenSaver", &answer, this), 0);
    // Owned once this returns: the bridge can ask at once.
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.ScreenSaver", 0), 0);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScreenSaverService() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }
  ScreenSaverService(const ScreenSaverService&) = delete;
  ScreenSaverService& operator=(const ScreenSaverService&) = delete;

  void lock() { lockAsked_ = true; }

 private:
  void serve() {
    while (!stop_) {
      if (lockAsked_ && !active_) {
        active_ = true;
        sd_bus_emit_signal(bus_, "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                           "ActiveChanged", "b", 1);
      }
      while (sd_bus_process(bus_, nullptr) > 0) {
      }
      sd_bus_wait(bus_, 10'000);
    }
  }

  static int answer(sd_bus_message* call, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(call, "org.freedesktop.ScreenSaver", "GetActive")) {
      return 0;
    }
    return sd_bus_reply_method_return(call, "b",
                                      static_cast<ScreenSaverService*>(self)->active_ ? 1 : 0);
  }

  sd_bus* bus_ = nullptr;
  std::atomic<bool> active_;
  std::atomic<bool> lockAsked_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qor::desktoptest
