// The simulated desktop's behaviour where it is not obvious from its header.
#include "platform/sim/sim_desktop.h"

#include <gtest/gtest.h>

#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::sim {
namespace {

class SimDesktopTest : public ::testing::Test {
 protected:
  runtime::VirtualClock clock;
  runtime::EventLoop loop{clock};
  SimDesktop desktop{loop};
};

TEST_F(SimDesktopTest, ElementsOfAQuitOrSilentApplicationDoNotAnswer) {
  SimApplication& app = desktop.addApplication(10, "com.example.a");
  auto window = element("AXWindow")->title("Main");
  app.element->windows({window});

  desktop::ElementRef root = desktop.applicationElement(10);
  auto windows = desktop.copyAttribute(root, "AXWindows");
  ASSERT_EQ(windows.error, desktop::kAXSuccess);
  desktop::ElementRef handle = std::get<std::vector<desktop::ElementRef>>(windows.value).at(0);
  EXPECT_EQ(desktop.copyAttribute(handle, "AXTitle").error, desktop::kAXSuccess);

  app.answersAccessibility = false;
  EXPECT_EQ(desktop.copyAttribute(handle, "AXTitle").error, desktop::kAXErrorCannotComplete);
  EXPECT_EQ(desktop.copyAttribute(root, "AXRole").error, desktop::kAXErrorCannotComplete);

  app.answersAccessibility = true;
  app.terminated = true;
  EXPECT_EQ(desktop.copyAttribute(handle, "AXTitle").error, desktop::kAXErrorInvalidUIElement);
}

}  // namespace
}  // namespace qor::sim
