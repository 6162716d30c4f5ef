// "click" and "scroll": what reaches the target process, and what is refused before any event.

#include <gtest/gtest.h>

#include <chrono>

#include "bridge/support/act_fixture.h"

namespace qor::testing {
namespace {

using desktop::MouseButton;
using desktop::MouseEvent;
using desktop::MouseEventType;
using desktop::ScrollEvent;
using std::chrono::milliseconds;

Json click(double x, double y, const Json& extra = Json::object()) {
  Json action{{"type", "click"}, {"x", x}, {"y", y}};
  action.update(extra);
  return action;
}

Json scroll(const Json& fields) {
  Json action{{"type", "scroll"}};
  action.update(fields);
  return action;
}

void expectMouse(const MouseEvent& event, MouseEventType type, MouseButton button, Point at,
                 std::int64_t clickState) {
  EXPECT_EQ(event.type, type);
  EXPECT_EQ(event.button, button);
  EXPECT_EQ(event.location.x, at.x);
  EXPECT_EQ(event.location.y, at.y);
  EXPECT_EQ(event.clickState, clickState);
  EXPECT_EQ(event.marker, UserInputMonitor::eventMarker);
}

TEST_F(ActTest, ClickPressesAndReleasesAtTheWindowPointInTheTargetOnly) {
  Json response = runBatch(Json::array({click(10, 20), click(5.5, 6, {{"button", "right"}})}));
  EXPECT_EQ(response["result"]["actions"],
            Json::array({dispatched(0, "click"), dispatched(1, "click")}));
  ASSERT_EQ(posted().size(), 4u);
  for (const sim::PostedEvent& entry : posted()) {
    EXPECT_EQ(entry.pid, kPid);
  }
  std::vector<MouseEvent> events = postedOf<MouseEvent>();
  expectMouse(events[0], MouseEventType::leftDown, MouseButton::left, {110, 120}, 1);
  expectMouse(events[1], MouseEventType::leftUp, MouseButton::left, {110, 120}, 1);
  expectMouse(events[2], MouseEventType::rightDown, MouseButton::right, {105.5, 106}, 1);
  expectMouse(events[3], MouseEventType::rightUp, MouseButton::right, {105.5, 106}, 1);
}

TEST_F(ActTest, OnlyTheExactNameRightGivesTheRightButton) {
  runBatch(Json::array({click(1, 1, {{"button", "middle"}}), click(1, 1, {{"button", "Right"}}),
                        click(1, 1, {{"button", 1}})}));
  for (const MouseEvent& event : postedOf<MouseEvent>()) {
    EXPECT_EQ(event.button, MouseButton::left);
  }
  EXPECT_EQ(posted().size(), 6u);
}

TEST_F(ActTest, DoubleClickSendsTwoPressesSixtyMillisecondsApart) {
  act(1, Json::array({click(10, 20, {{"clickCount", 2}})}));
  EXPECT_EQ(posted().size(), 2u);
  h.advance(milliseconds(59));
  EXPECT_EQ(posted().size(), 2u);
  h.advance(milliseconds(1));
  ASSERT_EQ(posted().size(), 4u);
  std::vector<MouseEvent> events = postedOf<MouseEvent>();
  expectMouse(events[0], MouseEventType::leftDown, MouseButton::left, {110, 120}, 1);
  expectMouse(events[1], MouseEventType::leftUp, MouseButton::left, {110, 120}, 1);
  expectMouse(events[2], MouseEventType::leftDown, MouseButton::left, {110, 120}, 2);
  expectMouse(events[3], MouseEventType::leftUp, MouseButton::left, {110, 120}, 2);
  EXPECT_TRUE(finish(1).contains("result"));
}

TEST_F(ActTest, ClickCountOutsideOneToTwoFailsBeforeAnyEvent) {
  for (const Json& count : {Json(0), Json(3), Json(1.5), Json("2")}) {
    storeObservation();
    Json error = errorOf(runBatch(Json::array({click(1, 1, {{"clickCount", count}})})));
    EXPECT_EQ(error["message"], "Integer outside 1...2") << count.dump();
    EXPECT_EQ(error["details"]["failedIndex"], 0);
  }
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, UserInputBetweenThePressesStopsTheDoubleClick) {
  act(1, Json::array({click(10, 20, {{"clickCount", 2}})}));
  h.advance(milliseconds(30));
  h.desktop.injectUserInput(std::nullopt);
  EXPECT_EQ(errorOf(finish(1)),
            (Json{{"code", "userTakeover"},
                  {"message", "User input detected"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_EQ(posted().size(), 2u) << "only the first press and release";
}

TEST_F(ActTest, CancellationBetweenThePressesStopsTheDoubleClick) {
  act(1, Json::array({click(10, 20, {{"clickCount", 2}})}));
  h.advance(milliseconds(30));
  h.request(2, "operation.cancel", Json{{"operationId", "1"}});
  Json error = errorOf(finish(1));
  EXPECT_EQ(error["code"], "cancelled");
  EXPECT_EQ(error["details"], (Json{{"completedActions", Json::array()}, {"failedIndex", 0}}));
  EXPECT_EQ(posted().size(), 2u);
}

TEST_F(ActTest, ClickCoordinatesAreCheckedAgainstTheObservation) {
  auto messageFor = [&](const Json& action) {
    storeObservation();
    return errorOf(runBatch(Json::array({action})))["message"];
  };
  EXPECT_EQ(messageFor(click(800, 10)), "Point is outside the observed window");
  EXPECT_EQ(messageFor(click(1, 1, {{"coordinateSpace", "imagePixels"}})),
            "imagePixels requires a capture observation");
  EXPECT_EQ(messageFor(click(1, 1, {{"coordinateSpace", "WindowPoints"}})),
            "Use windowPoints or imagePixels");
  EXPECT_EQ(messageFor(Json{{"type", "click"}, {"x", 1}}), "Expected finite number: y");
  EXPECT_EQ(messageFor(Json{{"type", "click"}, {"x", true}, {"y", 1}}),
            "Expected finite number: x");
  EXPECT_TRUE(posted().empty());

  storeObservation(kWindow, kFrame, Size{1600, 1200});
  runBatch(Json::array({click(1599, 1199, {{"coordinateSpace", "imagePixels"}}),
                        click(3, 4, {{"coordinateSpace", 7}})}));
  std::vector<MouseEvent> events = postedOf<MouseEvent>();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].location.x, 899.5);
  EXPECT_EQ(events[0].location.y, 699.5);
  EXPECT_EQ(events[2].location.x, 103) << "a space that is not a string means windowPoints";
  EXPECT_EQ(events[2].location.y, 104);
}

TEST_F(ActTest, ObservationWithoutAFrameTakesNoCoordinates) {
  storeObservation(std::nullopt, std::nullopt);
  EXPECT_EQ(errorOf(runBatch(Json::array({click(1, 1)})))["message"],
            "Coordinates require a selected window observation");
  storeObservation(std::nullopt, std::nullopt);
  EXPECT_EQ(errorOf(runBatch(Json::array({scroll({{"deltaX", 0}, {"deltaY", 20000}})})))["message"],
            "Scroll magnitude exceeds 10,000 pixels")
      << "the deltas are checked first";
  storeObservation(std::nullopt, std::nullopt);
  EXPECT_EQ(errorOf(runBatch(Json::array({scroll({{"deltaX", 0}, {"deltaY", 5}})})))["message"],
            "Observe a window before scrolling");
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, ScrollSendsOneEventWithTruncatedDeltas) {
  runBatch(Json::array({scroll({{"deltaX", 0.9}, {"deltaY", 10000}}),
                        scroll({{"deltaX", -2.7}, {"deltaY", -10000}, {"x", 10}, {"y", 20}}),
                        scroll({{"deltaX", 1}, {"deltaY", 1}, {"y", 20}})}));
  std::vector<ScrollEvent> events = postedOf<ScrollEvent>();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(posted().size(), 3u);
  EXPECT_EQ(events[0].deltaX, 0);
  EXPECT_EQ(events[0].deltaY, 10000);
  EXPECT_EQ(events[0].location.x, 500) << "the centre of the window";
  EXPECT_EQ(events[0].location.y, 400);
  EXPECT_EQ(events[1].deltaX, -2);
  EXPECT_EQ(events[1].deltaY, -10000);
  EXPECT_EQ(events[1].location.x, 110);
  EXPECT_EQ(events[1].location.y, 120);
  EXPECT_EQ(events[2].location.x, 500) << "without x, y is ignored";
  EXPECT_EQ(events[2].location.y, 400);
  for (const sim::PostedEvent& entry : posted()) {
    EXPECT_EQ(entry.pid, kPid);
    EXPECT_EQ(std::get<ScrollEvent>(entry.event).marker, UserInputMonitor::eventMarker);
  }
}

TEST_F(ActTest, ScrollRefusesBadDeltasAndPoints) {
  auto messageFor = [&](const Json& fields) {
    storeObservation();
    return errorOf(runBatch(Json::array({scroll(fields)})))["message"];
  };
  EXPECT_EQ(messageFor({{"deltaX", 0}, {"deltaY", 10000.5}}),
            "Scroll magnitude exceeds 10,000 pixels");
  EXPECT_EQ(messageFor({{"deltaX", -10001}, {"deltaY", 0}}),
            "Scroll magnitude exceeds 10,000 pixels");
  EXPECT_EQ(messageFor({{"deltaY", 1}}), "Expected finite number: deltaX");
  EXPECT_EQ(messageFor({{"deltaX", 1}, {"deltaY", "1"}}), "Expected finite number: deltaY");
  EXPECT_EQ(messageFor({{"deltaX", 1}, {"deltaY", 1}, {"x", 10}}), "Expected finite number: y");
  EXPECT_EQ(messageFor({{"deltaX", 1}, {"deltaY", 1}, {"x", nullptr}, {"y", 1}}),
            "Expected finite number: x")
      << "a present x, whatever its value, asks for a point";
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, EventsThePlatformCannotCreateFail) {
  h.desktop.eventCreationLimit = 1;  // the press goes out, the release cannot be made
  Json error = errorOf(runBatch(Json::array({click(1, 1)})));
  EXPECT_EQ(error["code"], "inputUnavailable");
  EXPECT_EQ(error["message"], "Could not create mouse event");
  EXPECT_EQ(posted().size(), 1u) << "the press already sent stays sent";

  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({scroll({{"deltaX", 1}, {"deltaY", 1}})})))["message"],
            "Could not create scroll event");
}

TEST_F(ActTest, PointerActionsNeedTheTargetInFront) {
  h.desktop.frontmostPid = kOtherPid;
  Json error = errorOf(runBatch(Json::array({click(1, 1, {{"clickCount", 3}})})));
  EXPECT_EQ(error["code"], "focusUnavailable") << "the guard comes first";
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({scroll({{"deltaX", 1}, {"deltaY", 1}})})))["code"],
            "focusUnavailable");
  EXPECT_TRUE(posted().empty());
}

}  // namespace
}  // namespace qor::testing
