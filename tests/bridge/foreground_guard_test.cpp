// The guard before physical input: application in front, observed window in front, screen
// unlocked, in this order.

#include <gtest/gtest.h>

#include "bridge/support/act_fixture.h"

namespace qor::testing {
namespace {

class ForegroundGuardTest : public ActTest {
 protected:
  // The guard's failure as JSON, or null when it lets input through.
  Json guard() {
    try {
      h.runtime.requireForeground(app, h.runtime.observations().at(kObservation));
    } catch (const NativeFailure& failure) {
      return failure.json();
    }
    return nullptr;
  }

  // The application as the batch resolved it.
  const desktop::RunningApplication app = h.desktop.runningApplications(kBundle).front();
  const Json notInFront{{"code", "focusUnavailable"},
                        {"message",
                         "The selected application is not in the foreground; focus and observe "
                         "again before sending physical input"},
                        {"details", {{"reason", "windowNotForeground"}, {"focused", false}}}};
  const Json otherWindow{{"code", "staleObservation"},
                         {"message",
                          "A different window is now in front; observe the current window "
                          "before typing or clicking"},
                         {"details", Json::object()}};
  const Json locked{{"code", "sessionUnavailable"},
                    {"message", "Unlock the Mac to continue visual operation"},
                    {"details", Json::object()}};
};

TEST_F(ForegroundGuardTest, TheApplicationMustBeFrontmost) {
  EXPECT_EQ(guard(), nullptr);
  h.desktop.frontmostPid = kOtherPid;
  EXPECT_EQ(guard(), notInFront);
  h.desktop.frontmostPid.reset();
  EXPECT_EQ(guard(), notInFront);

  h.desktop.frontmostPid = kPid;
  h.desktop.application(kPid).terminated = true;
  EXPECT_EQ(guard(), notInFront) << "a quit application is never in front";
}

TEST_F(ForegroundGuardTest, TheObservedWindowMustBeInFront) {
  // The focus on another window does not matter while the observed one is frontmost.
  h.desktop.application(kPid).element->focusedWindow(secondWindow);
  EXPECT_EQ(guard(), nullptr);

  bringSecondWindowToFront();
  EXPECT_EQ(guard(), otherWindow);

  // Behind, but the application still reports it as its focused window.
  h.desktop.application(kPid).element->focusedWindow(window);
  EXPECT_EQ(guard(), nullptr);
  window->frame(Frame{101.5, 100, 800, 600});
  EXPECT_EQ(guard(), otherWindow) << "the focused window must match within one point";

  h.desktop.removeWindow(kWindow);
  EXPECT_EQ(guard(), otherWindow);
}

TEST_F(ForegroundGuardTest, AnObservationWithoutAWindowSkipsTheWindowCheck) {
  storeObservation(std::nullopt, std::nullopt);
  h.desktop.removeWindow(kWindow);
  h.desktop.log.calls.clear();
  EXPECT_EQ(guard(), nullptr);
  EXPECT_FALSE(h.desktop.log.called("onScreenWindows"));
}

TEST_F(ForegroundGuardTest, TheScreenMustBeUnlocked) {
  h.desktop.screenLock = true;
  EXPECT_EQ(guard(), locked);
  h.desktop.frontmostPid = kOtherPid;
  EXPECT_EQ(guard(), notInFront) << "the application check comes first";
  h.desktop.frontmostPid = kPid;
  h.desktop.screenLock = std::nullopt;
  EXPECT_EQ(guard(), nullptr) << "a session that cannot tell passes";
  h.desktop.screenLock = false;
  EXPECT_EQ(guard(), nullptr);
}

TEST_F(ForegroundGuardTest, PhysicalActionsAreGuardedAndElementActionsAreNot) {
  h.desktop.screenLock = true;
  EXPECT_EQ(errorOf(runBatch(Json::array({Json{{"type", "key"}, {"key", "a"}}}))),
            (Json{{"code", "sessionUnavailable"},
                  {"message", "Unlock the Mac to continue visual operation"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  storeObservation();
  EXPECT_TRUE(runBatch(Json::array({Json{{"type", "ax"}, {"ref", "e2"}, {"action", "AXPress"}}}))
                  .contains("result"));
  EXPECT_TRUE(posted().empty());
}

}  // namespace
}  // namespace qor::testing
