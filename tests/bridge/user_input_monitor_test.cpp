// The monitor of the user's own input: installed once, counts everything but the bridge's own
// marked events, and never outlives the runtime's interest in it.

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <memory>

#include "bridge/support/act_fixture.h"

namespace qor::testing {
namespace {

const Json kWaitZero{{"type", "wait"}, {"milliseconds", 0}};

TEST_F(ActTest, TheFirstBatchInstallsTheMonitorOnce) {
  EXPECT_FALSE(h.runtime.userInput().handle());
  runBatch(Json::array({kWaitZero}));
  storeObservation();
  runBatch(Json::array({kWaitZero}));
  EXPECT_EQ(h.desktop.installedMonitorCount(), 1u);
  ASSERT_EQ(h.desktop.log.monitors.size(), 1u);
  EXPECT_EQ(h.runtime.userInput().handle(), h.desktop.log.monitors[0].handle);
}

TEST_F(ActTest, EverythingButTheMarkerCounts) {
  h.runtime.userInput().start();
  h.desktop.injectUserInput(std::nullopt);  // no underlying event
  h.desktop.injectUserInput(0);
  h.desktop.injectUserInput(UserInputMonitor::eventMarker + 1);
  EXPECT_EQ(h.runtime.userInput().epoch(), 3u);
  h.desktop.injectUserInput(UserInputMonitor::eventMarker);
  EXPECT_EQ(h.runtime.userInput().epoch(), 3u);
  EXPECT_EQ(UserInputMonitor::eventMarker, 5858992136289274198);  // "QORNATIV"

  UserInputMonitor nearTheEnd(h.desktop, std::numeric_limits<std::uint64_t>::max());
  nearTheEnd.start();
  h.desktop.injectUserInput();
  EXPECT_EQ(nearTheEnd.epoch(), 0u) << "the count wraps";
  nearTheEnd.stop();
}

TEST_F(ActTest, TheBridgesOwnEventsNeverStopABatch) {
  h.desktop.echoPostedEventsToMonitor = true;
  Json response = runBatch(
      Json::array({Json{{"type", "click"}, {"x", 1}, {"y", 1}, {"clickCount", 2}},
                   Json{{"type", "key"}, {"key", "tab"}}, Json{{"type", "type"}, {"text", "hello"}},
                   Json{{"type", "scroll"}, {"deltaX", 0}, {"deltaY", 40}}, kWaitZero}));
  EXPECT_EQ(response["result"]["actions"].size(), 5u);
  EXPECT_EQ(h.runtime.userInput().epoch(), 0u);
  EXPECT_EQ(posted().size(), 4u + 2u + 10u + 1u);
}

TEST_F(ActTest, ARefusedMonitorIsTriedAgainByTheNextBatch) {
  h.desktop.refuseMonitor = true;
  EXPECT_TRUE(runBatch(Json::array({kWaitZero})).contains("result"));
  EXPECT_FALSE(h.runtime.userInput().handle());
  h.desktop.refuseMonitor = false;
  storeObservation();
  runBatch(Json::array({kWaitZero}));
  EXPECT_TRUE(h.runtime.userInput().handle());
  EXPECT_EQ(std::count(h.desktop.log.calls.begin(), h.desktop.log.calls.end(), "addGlobalMonitor"),
            2);
}

TEST_F(ActTest, TheMonitorIsRemovedAtTheOrderlyExit) {
  runBatch(Json::array({kWaitZero}));
  h.endOfInput();
  EXPECT_EQ(h.exitStatus, 0);
  ASSERT_EQ(h.desktop.log.monitors.size(), 2u);
  EXPECT_FALSE(h.desktop.log.monitors[1].installed);
  EXPECT_EQ(h.desktop.log.monitors[1].handle, h.desktop.log.monitors[0].handle);
}

TEST_F(ActTest, ALateCallbackAfterTheRuntimeIsGoneDoesNothing) {
  auto doomed = std::make_unique<NativeRuntime>(NativeRuntime::Environment{
      h.desktop, h.loop, [](std::string_view) {}, [](int) {}, h.temporary.path()});
  doomed->userInput().start();
  doomed.reset();
  h.desktop.injectUserInput();  // must not touch the destroyed runtime
  EXPECT_EQ(h.desktop.installedMonitorCount(), 1u);
}

}  // namespace
}  // namespace qor::testing
