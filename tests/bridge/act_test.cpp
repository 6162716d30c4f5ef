// The batch frame of "app.act": refusals before the lock, the lock itself, the loop's checks and
// pauses, and how failures inside the loop are reported.

#include <gtest/gtest.h>

#include <chrono>

#include "bridge/support/act_fixture.h"

namespace qor::testing {
namespace {

using std::chrono::milliseconds;

const Json kClick{{"type", "click"}, {"x", 10}, {"y", 10}};
const Json kWaitZero{{"type", "wait"}, {"milliseconds", 0}};

TEST_F(ActTest, RefusalsBeforeTheLockLeaveNoTrace) {
  Json hundredAndOne = Json::array();
  for (int i = 0; i < 101; ++i) {
    hundredAndOne.push_back(kWaitZero);
  }
  const Json shapes[] = {Json::array(), hundredAndOne, kWaitZero, Json::array({kWaitZero, 5}),
                         "wait",        nullptr};
  for (const Json& actions : shapes) {
    Json response = runBatch(actions);
    EXPECT_EQ(errorOf(response), (Json{{"code", "invalidArgument"},
                                       {"message", "actions must contain 1...100 actions"},
                                       {"details", Json::object()}}))
        << actions.dump();
  }
  h.request(2, "app.act", Json{{"bundleId", kBundle}, {"observationId", kObservation}});
  EXPECT_EQ(errorOf(finish(2))["message"], "actions must contain 1...100 actions");
  for (const Json& observationID : {Json(""), Json(7), Json(nullptr)}) {
    h.request(3, "app.act",
              actParams(Json::array({kWaitZero}), {{"observationId", observationID}}));
    EXPECT_EQ(errorOf(finish(3)), (Json{{"code", "invalidArgument"},
                                        {"message", "Missing string: observationId"},
                                        {"details", Json::object()}}))
        << observationID.dump();
  }

  h.desktop.accessibilityTrusted = false;
  EXPECT_EQ(errorOf(runBatch(Json::array({kWaitZero}))),
            (Json{{"code", "missingPermission"},
                  {"message", "macOS Accessibility access is required"},
                  {"details", {{"permission", "accessibility"}}}}));
  h.desktop.accessibilityTrusted = true;

  // A validation failure is passed on unchanged.
  h.desktop.window(kWindow).moveBy(2, 0);
  EXPECT_EQ(errorOf(runBatch(Json::array({kWaitZero}))),
            (Json{{"code", "staleObservation"},
                  {"message", "The selected window moved, resized or closed; observe again"},
                  {"details", Json::object()}}));

  EXPECT_TRUE(posted().empty());
  EXPECT_TRUE(observationStored());
  EXPECT_FALSE(h.runtime.operations().busyOperation());
  EXPECT_FALSE(h.runtime.userInput().handle()) << "the monitor is installed only past the lock";
}

TEST_F(ActTest, WaitOfZeroAnswersAfterThePauseAndUsesUpTheObservation) {
  act(1, Json::array({kWaitZero}), Json{{"operationId", "batch-7"}});
  EXPECT_EQ(h.runtime.operations().busyOperation(), "batch-7");
  h.advance(milliseconds(39));
  EXPECT_TRUE(h.takeResponses().empty());
  h.advance(milliseconds(1));
  EXPECT_EQ(h.responseFor(1)["result"], (Json{{"operationId", "batch-7"},
                                              {"bundleId", kBundle},
                                              {"pid", kPid},
                                              {"actions", Json::array({dispatched(0, "wait")})},
                                              {"requiresObservation", true}}));
  EXPECT_FALSE(h.runtime.operations().busyOperation());
  EXPECT_FALSE(observationStored());

  EXPECT_EQ(errorOf(runBatch(Json::array({kWaitZero}))),
            (Json{{"code", "staleObservation"},
                  {"message", "Observe the selected application again before acting"},
                  {"details", Json::object()}}));
}

TEST_F(ActTest, SecondBatchWhileOneRunsIsBusyAndLeavesTheFirstAlone) {
  act(1, Json::array({kWaitZero, kClick}));
  act(2, Json::array({kClick}));
  EXPECT_EQ(h.responseFor(2)["error"],
            (Json{{"code", "inputBusy"},
                  {"message", "Another native input operation is active"},
                  {"details", Json::object()}}));
  EXPECT_EQ(h.runtime.operations().busyOperation(), "1");
  EXPECT_TRUE(observationStored());

  Json response = finish(1);
  EXPECT_EQ(response["result"]["actions"],
            Json::array({dispatched(0, "wait"), dispatched(1, "click")}));
  EXPECT_EQ(postedOf<desktop::MouseEvent>().size(), 2u) << "only the first batch clicked";
}

TEST_F(ActTest, UserInputDuringAWaitStopsBeforeTheNextAction) {
  act(1, Json::array({Json{{"type", "wait"}, {"milliseconds", 100}}, kClick}));
  h.advance(milliseconds(50));
  h.desktop.injectUserInput();
  Json response = finish(1);
  EXPECT_EQ(
      errorOf(response),
      (Json{{"code", "userTakeover"},
            {"message", "User input detected; stopped before the next action"},
            {"details",
             {{"completedActions", Json::array({dispatched(0, "wait")})}, {"failedIndex", 1}}}}));
  EXPECT_TRUE(posted().empty());
  EXPECT_FALSE(observationStored());
  EXPECT_FALSE(h.runtime.operations().busyOperation());
}

TEST_F(ActTest, CancellationReportsTheActionWhosePauseWasCut) {
  act(1, Json::array({kClick, Json{{"type", "key"}, {"key", "a"}}, kWaitZero, kClick}));
  h.advance(milliseconds(100));  // pauses end at 40 and 80; the third runs until 120
  h.request(2, "operation.cancel", Json{{"operationId", "1"}});
  std::vector<Json> responses = h.takeResponses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0]["id"], 2) << "the cancel is answered first";
  EXPECT_EQ(errorOf(responses[1]),
            (Json{{"code", "cancelled"},
                  {"message", "Operation stopped"},
                  {"details",
                   {{"completedActions", Json::array({dispatched(0, "click"), dispatched(1, "key"),
                                                      dispatched(2, "wait")})},
                    {"failedIndex", 2}}}}));
  EXPECT_EQ(posted().size(), 4u) << "one click and one key, nothing of the fourth action";
  EXPECT_FALSE(observationStored());
  EXPECT_FALSE(h.runtime.operations().busyOperation());
}

TEST_F(ActTest, CancellationBeforeTheFirstActionReportsIndexZero) {
  act(1, Json::array({kClick}), Json{{"focus", true}});
  h.advance(milliseconds(100));  // inside the focus step's wait
  h.request(2, "operation.cancel", Json{{"operationId", "1"}});
  EXPECT_EQ(errorOf(h.responseFor(1)),
            (Json{{"code", "cancelled"},
                  {"message", "Operation stopped"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_TRUE(posted().empty());
  EXPECT_FALSE(observationStored());
  EXPECT_FALSE(h.runtime.operations().busyOperation());
}

TEST_F(ActTest, TypesAreMatchedExactlyAfterTheObservationIsCheckedAgain) {
  Json click = kClick;
  click["type"] = "Click";
  EXPECT_EQ(
      errorOf(runBatch(Json::array({kWaitZero, click}))),
      (Json{{"code", "invalidArgument"},
            {"message", "Unknown action type: Click"},
            {"details",
             {{"completedActions", Json::array({dispatched(0, "wait")})}, {"failedIndex", 1}}}}));

  storeObservation();
  act(2, Json::array({kWaitZero, click}));
  h.desktop.window(kWindow).moveBy(2, 0);  // during the first pause
  Json stale = errorOf(finish(2));
  EXPECT_EQ(stale["message"], "The selected window moved, resized or closed; observe again");
  EXPECT_EQ(stale["details"]["failedIndex"], 1);
  h.desktop.window(kWindow).moveBy(-2, 0);

  storeObservation();
  Json untyped = errorOf(runBatch(Json::array({Json{{"type", 5}}})));
  EXPECT_EQ(untyped["message"], "Missing string: type");
  EXPECT_EQ(untyped["details"], (Json{{"completedActions", Json::array()}, {"failedIndex", 0}}));
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, WaitIsNotCheckedAgainstTheWindow) {
  act(1, Json::array({Json{{"type", "wait"}}, kWaitZero}));
  h.desktop.window(kWindow).moveBy(50, 0);
  h.advance(milliseconds(139));
  EXPECT_TRUE(h.takeResponses().empty()) << "absent milliseconds wait 100";
  h.advance(milliseconds(1));
  EXPECT_TRUE(h.takeResponses().empty()) << "second wait's pause still running";
  h.advance(milliseconds(40));
  EXPECT_EQ(h.responseFor(1)["result"]["actions"].size(), 2u);
}

TEST_F(ActTest, WaitMillisecondsOutsideTheRangeFail) {
  for (const Json& value : {Json(5001), Json(-1), Json(1.5), Json(nullptr), Json("10")}) {
    storeObservation();
    Json error = errorOf(runBatch(Json::array({Json{{"type", "wait"}, {"milliseconds", value}}})));
    EXPECT_EQ(error, (Json{{"code", "invalidArgument"},
                           {"message", "Integer outside 0...5000"},
                           {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}))
        << value.dump();
  }
  storeObservation();
  act(1, Json::array({Json{{"type", "wait"}, {"milliseconds", 5000}}}));
  h.advance(milliseconds(5039));
  EXPECT_TRUE(h.takeResponses().empty());
  h.advance(milliseconds(1));
  EXPECT_TRUE(h.responseFor(1).contains("result"));
}

TEST_F(ActTest, OnlyATrueFocusRunsTheFocusStep) {
  for (const Json& focus : {Json("2"), Json(2), Json(false), Json(0), Json("true")}) {
    storeObservation();
    act(1, Json::array({kWaitZero}), Json{{"focus", focus}});
    h.advance(milliseconds(40));
    EXPECT_TRUE(h.responseFor(1).contains("result")) << focus.dump();
  }
  EXPECT_TRUE(h.desktop.log.activations.empty());

  for (const Json& focus : {Json(1), Json(true)}) {
    storeObservation();
    act(1, Json::array({kWaitZero}), Json{{"focus", focus}});
    h.advance(milliseconds(189));
    EXPECT_TRUE(h.takeResponses().empty()) << "150 ms of focusing, then 40 ms of pause";
    h.advance(milliseconds(1));
    EXPECT_TRUE(h.responseFor(1).contains("result")) << focus.dump();
  }
  EXPECT_EQ(h.desktop.log.activations, (std::vector<desktop::Pid>{kPid, kPid}));
}

TEST_F(ActTest, FocusFailureEndsTheBatchUnchanged) {
  h.desktop.application(kPid).acceptsActivation = false;
  EXPECT_EQ(errorOf(runBatch(Json::array({kClick}), Json{{"focus", true}})),
            (Json{{"code", "focusUnavailable"},
                  {"message", "The selected application could not become active"},
                  {"details", Json::object()}}));
  EXPECT_TRUE(posted().empty());
  EXPECT_FALSE(observationStored());
  EXPECT_FALSE(h.runtime.operations().busyOperation());
}

TEST_F(ActTest, InputWhileFocusingDoesNotCount) {
  h.desktop.frontmostPid = kOtherPid;
  act(1, Json::array({kClick}), Json{{"focus", true}});
  h.advance(milliseconds(100));
  h.desktop.injectUserInput();
  Json response = finish(1);
  EXPECT_EQ(response["result"]["actions"], Json::array({dispatched(0, "click")}));
}

TEST_F(ActTest, FailureDetailsGainProgressNextToTheirOwnKeys) {
  Json press{{"type", "ax"}, {"ref", "e2"}, {"action", "AXShowMenu"}};
  EXPECT_EQ(errorOf(runBatch(Json::array({kWaitZero, press}))),
            (Json{{"code", "accessibilityActionFailed"},
                  {"message", "Control did not accept the action"},
                  {"details",
                   {{"axError", desktop::kAXErrorActionUnsupported},
                    {"completedActions", Json::array({dispatched(0, "wait")})},
                    {"failedIndex", 1}}}}));
}

}  // namespace
}  // namespace qor::testing
