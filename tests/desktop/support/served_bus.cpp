#include "desktop/support/served_bus.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <utility>

namespace qor::desktoptest {

ServedBus::ServedBus(const std::function<void(sd_bus*)>& install) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  clientFd_ = fds[1];
  sd_id128_t id;
  EXPECT_GE(sd_bus_new(&bus_), 0);
  EXPECT_GE(sd_bus_set_fd(bus_, fds[0], fds[0]), 0);
  EXPECT_GE(sd_id128_randomize(&id), 0);
  EXPECT_GE(sd_bus_set_server(bus_, 1, id), 0);
  install(bus_);
  EXPECT_GE(sd_bus_start(bus_), 0);
  thread_ = std::thread([this] {
    while (!stop_) {
      int status = 0;
      while ((status = sd_bus_process(bus_, nullptr)) > 0) {
      }
      if (status < 0) {
        break;  // the client went away
      }
      sd_bus_wait(bus_, 20'000);
    }
  });
}

ServedBus::~ServedBus() {
  stop_ = true;
  thread_.join();
  sd_bus_flush_close_unref(bus_);
}

int ServedBus::takeClientFd() {
  return std::exchange(clientFd_, -1);
}

}  // namespace qor::desktoptest
