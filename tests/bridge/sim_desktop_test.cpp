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

TEST_F(SimDesktopTest, ElementsNeverHandedOutBelongToTheTreeThatHoldsThem) {
  SimApplication& app = desktop.addApplication(10, "com.example.a");
  auto button = element("AXButton")->title("OK");
  app.element->windows({element("AXWindow")->child(element("AXGroup")->child(button))});
  auto loose = element("AXButton")->title("Loose");

  app.answersAccessibility = false;
  EXPECT_EQ(desktop.copyAttribute(button, "AXTitle").error, desktop::kAXErrorCannotComplete);
  EXPECT_EQ(desktop.copyAttribute(loose, "AXTitle").error, desktop::kAXSuccess)
      << "an element of no application answers on its own";
  loose->invalidate();
  EXPECT_EQ(desktop.copyAttribute(loose, "AXTitle").error, desktop::kAXErrorInvalidUIElement);
}

TEST_F(SimDesktopTest, ActionsAndWritesFollowTheElementsScript) {
  SimApplication& app = desktop.addApplication(10, "com.example.a");
  int presses = 0;
  auto button =
      element("AXButton")->actions({"AXPress"})->onPerform([&](const std::string&) { ++presses; });
  auto field = element("AXTextField")->value("old");
  app.element->windows({button, field});

  EXPECT_EQ(desktop.performAction(button, "AXPress"), desktop::kAXSuccess);
  EXPECT_EQ(desktop.performAction(button, "AXShowMenu"), desktop::kAXErrorActionUnsupported);
  button->actionResult("AXPress", desktop::kAXErrorCannotComplete);
  EXPECT_EQ(desktop.performAction(button, "AXPress"), desktop::kAXErrorCannotComplete);
  EXPECT_EQ(presses, 1) << "only successful actions have an effect";

  EXPECT_EQ(desktop.setStringValue(field, "AXValue", "new"), desktop::kAXSuccess);
  EXPECT_EQ(field->text("AXValue"), "new");
  field->setValueResult(desktop::kAXErrorAttributeUnsupported);
  EXPECT_EQ(desktop.setStringValue(field, "AXValue", "newer"),
            desktop::kAXErrorAttributeUnsupported);
  EXPECT_EQ(field->text("AXValue"), "new");
  ASSERT_EQ(desktop.log.actions.size(), 3u);
  EXPECT_EQ(desktop.log.actions[0].element, button);
  ASSERT_EQ(desktop.log.writes.size(), 2u);
  EXPECT_EQ(desktop.log.writes[1].result, desktop::kAXErrorAttributeUnsupported);
}

TEST_F(SimDesktopTest, AsynchronousResultsAreTakenWhenTheCallCompletes) {
  desktop.addApplication(10, "com.example.a");
  desktop.addWindow(1, 10, Frame{0, 0, 100, 100});
  desktop.listingPlan.hold = true;
  std::optional<desktop::Result<std::vector<desktop::ShareableWindow>>> listed;
  desktop.shareableWindows([&](auto result) { listed = std::move(result); });
  desktop.window(1).moveBy(2, 0);
  EXPECT_TRUE(desktop.release(AsyncCall::shareableWindows));
  EXPECT_FALSE(listed) << "completions arrive through the loop";
  loop.runUntilIdle();
  ASSERT_TRUE(listed);
  EXPECT_EQ(std::get<0>(*listed).at(0).frame.x, 2.0);
  EXPECT_EQ(std::get<0>(*listed).at(0).ownerPID, 10);

  desktop.capturePlan.hold = true;
  std::optional<desktop::Result<desktop::Image>> image;
  desktop.captureWindow(std::get<0>(*listed).at(0), 4, 2, [&](auto result) { image = result; });
  desktop.capturePlan.failure = desktop::PlatformError{"capture failed"};
  desktop.release(AsyncCall::captureWindow);
  loop.runUntilIdle();
  ASSERT_TRUE(image);
  EXPECT_EQ(std::get<desktop::PlatformError>(*image).description, "capture failed");
  EXPECT_FALSE(desktop.release(AsyncCall::captureWindow));
}

TEST_F(SimDesktopTest, OpeningReusesTheRunningInstanceOrLaunchesOne) {
  desktop.install("com.example.a", "Alpha", "/Applications/Alpha.app");
  int hooked = 0;
  desktop.launchHooks["com.example.a"] = [&](SimApplication&) { ++hooked; };
  std::vector<desktop::Pid> reported;
  auto open = [&] {
    desktop.openApplication("/Applications/Alpha.app", false, [&](auto result) {
      reported.push_back(std::get<desktop::RunningApplication>(result).pid);
    });
    loop.runUntilIdle();
  };
  open();
  open();
  desktop.application(reported[0]).terminated = true;
  open();
  ASSERT_EQ(reported.size(), 3u);
  EXPECT_EQ(reported[0], reported[1]);
  EXPECT_NE(reported[2], reported[0]);
  EXPECT_EQ(hooked, 2);
  EXPECT_EQ(desktop.application(reported[2]).localizedName, "Alpha");
  EXPECT_FALSE(desktop.frontmostPid) << "opened without activation";
}

TEST_F(SimDesktopTest, TheMonitorSeesInjectedInputAndOptionallyTheBridgesOwnEvents) {
  std::vector<std::optional<std::int64_t>> seen;
  desktop::MonitorHandle handle = *desktop.addGlobalMonitor(
      [&](const desktop::MonitoredEvent& e) { seen.push_back(e.sourceUserData); });
  desktop.injectUserInput(std::nullopt);
  desktop.injectUserInput(7);

  desktop.echoPostedEventsToMonitor = true;
  desktop::MouseEvent press;
  press.marker = 99;
  desktop::MouseEvent release = press;
  release.type = desktop::MouseEventType::leftUp;
  desktop.post(10, press);
  desktop.post(10, release);  // releases are not watched
  EXPECT_EQ(seen.size(), 2u) << "echoes arrive through the loop";
  loop.runUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::optional<std::int64_t>>{std::nullopt, 7, 99}));

  desktop.removeMonitor(handle);
  desktop.injectUserInput();
  EXPECT_EQ(seen.size(), 3u);
  desktop.refuseMonitor = true;
  EXPECT_FALSE(desktop.addGlobalMonitor([](const desktop::MonitoredEvent&) {}));

  desktop.eventCreationLimit = 2;
  EXPECT_EQ(desktop.post(10, press), desktop::PostResult::couldNotCreate);
  EXPECT_EQ(desktop.log.events.size(), 2u);
}

TEST_F(SimDesktopTest, AnAutomationPromptOnlyDecidesAnUndecidedStatus) {
  desktop.automationPromptAnswers["com.example.a"] = 0;
  EXPECT_EQ(desktop.automationStatus("com.example.a", false), kAutomationNotDetermined);
  EXPECT_EQ(desktop.automationStatus("com.example.a", true), 0);
  EXPECT_EQ(desktop.automationStatus("com.example.a", false), 0);

  desktop.automation["com.example.b"] = -1743;
  desktop.automationPromptAnswers["com.example.b"] = 0;
  EXPECT_EQ(desktop.automationStatus("com.example.b", true), -1743);
}

TEST_F(SimDesktopTest, UnscriptedAppleEventsAreNotHandled) {
  AppleEvent event;
  event.eventClass = fourCharLiteral("core");
  event.eventID = fourCharLiteral("getd");
  desktop::Result<AppleDescriptor> reply = desktop.sendAppleEvent(event, 5);
  const AppleDescriptor* status = field(std::get<AppleDescriptor>(reply), ae::kErrorNumber);
  ASSERT_TRUE(status);
  EXPECT_EQ(int32Value(*status), kAppleEventNotHandled);
  ASSERT_EQ(desktop.log.appleEvents.size(), 1u);
  EXPECT_EQ(desktop.log.appleEvents[0].timeoutSeconds, 5);
}

}  // namespace
}  // namespace qor::sim
