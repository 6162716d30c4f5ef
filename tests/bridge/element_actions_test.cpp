// "ax" and "setValue": controls reached through the Accessibility interface, looked up afresh,
// never a password field, and no need for the foreground.

#include <gtest/gtest.h>

#include "bridge/support/act_fixture.h"

namespace qor::testing {
namespace {

Json press(const std::string& ref, const std::string& action = "AXPress") {
  return Json{{"type", "ax"}, {"ref", ref}, {"action", action}};
}

Json setValue(const std::string& ref, const Json& value) {
  Json action{{"type", "setValue"}, {"ref", ref}};
  if (!value.is_discarded()) {
    action["value"] = value;
  }
  return action;
}

const Json kNoValue = Json(Json::value_t::discarded);

TEST_F(ActTest, ElementActionsWorkWithAnotherApplicationInFront) {
  h.desktop.frontmostPid = kOtherPid;
  Json response = runBatch(Json::array({press("e2"), setValue("e3", "new"), setValue("e3", "")}));
  EXPECT_EQ(
      response["result"]["actions"],
      Json::array({dispatched(0, "ax"), dispatched(1, "setValue"), dispatched(2, "setValue")}));
  ASSERT_EQ(h.desktop.log.actions.size(), 1u);
  EXPECT_EQ(h.desktop.log.actions[0].element, save);
  EXPECT_EQ(h.desktop.log.actions[0].action, "AXPress");
  ASSERT_EQ(h.desktop.log.writes.size(), 2u);
  EXPECT_EQ(h.desktop.log.writes[0].element, field);
  EXPECT_EQ(h.desktop.log.writes[0].attribute, "AXValue");
  EXPECT_EQ(h.desktop.log.writes[0].value, "new");
  EXPECT_EQ(h.desktop.log.writes[1].value, "") << "the empty string is written";
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, ActionsThePlatformRefusesReportItsCode) {
  EXPECT_EQ(errorOf(runBatch(Json::array({press("e2", "AXShowMenu")}))),
            (Json{{"code", "accessibilityActionFailed"},
                  {"message", "Control did not accept the action"},
                  {"details",
                   {{"axError", desktop::kAXErrorActionUnsupported},
                    {"completedActions", Json::array()},
                    {"failedIndex", 0}}}}));

  storeObservation();
  field->setValueResult(desktop::kAXErrorAttributeUnsupported);
  EXPECT_EQ(errorOf(runBatch(Json::array({setValue("e3", "x")}))),
            (Json{{"code", "accessibilityActionFailed"},
                  {"message", "Control value could not be set"},
                  {"details",
                   {{"axError", desktop::kAXErrorAttributeUnsupported},
                    {"completedActions", Json::array()},
                    {"failedIndex", 0}}}}));

  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({Json{{"type", "ax"}, {"ref", "e2"}}})))["message"],
            "Missing string: action");
}

TEST_F(ActTest, ChangedOrUnknownControlsAreNeverTouched) {
  auto failureFor = [&](const Json& action) {
    storeObservation();
    return errorOf(runBatch(Json::array({action})));
  };
  const Json changed{{"code", "staleObservation"},
                     {"message", "The control changed; observe again"},
                     {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}};
  EXPECT_EQ(failureFor(press("e99")), changed);
  EXPECT_EQ(failureFor(setValue("e99", "x")), changed);
  save->title("Save As");
  EXPECT_EQ(failureFor(press("e2")), changed);
  field->role("AXStaticText");
  EXPECT_EQ(failureFor(setValue("e3", "x")), changed);
  for (const Json& ref : {kNoValue, Json(2), Json("")}) {
    Json action{{"type", "ax"}, {"action", "AXPress"}};
    if (!ref.is_discarded()) {
      action["ref"] = ref;
    }
    EXPECT_EQ(failureFor(action)["message"], "Missing string: ref") << ref.dump();
  }
  EXPECT_TRUE(h.desktop.log.actions.empty());
  EXPECT_TRUE(h.desktop.log.writes.empty());
}

TEST_F(ActTest, PasswordFieldsAreRefusedBeforeTheValueIsLookedAt) {
  const Json credentials{{"code", "userInputRequired"},
                         {"message", "Enter credentials in the selected application"},
                         {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}};
  EXPECT_EQ(errorOf(runBatch(Json::array({setValue("e4", "hunter2")}))), credentials);
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({setValue("e4", kNoValue)}))), credentials);

  for (const Json& value : {kNoValue, Json(42), Json(true), Json(nullptr)}) {
    storeObservation();
    EXPECT_EQ(errorOf(runBatch(Json::array({setValue("e3", value)})))["message"],
              "setValue requires a string value")
        << value.dump();
  }
  EXPECT_TRUE(h.desktop.log.writes.empty());

  // A subrole that cannot be read counts as not secure.
  storeObservation();
  field->attributeError("AXSubrole", desktop::kAXErrorCannotComplete);
  EXPECT_TRUE(runBatch(Json::array({setValue("e3", "x")})).contains("result"));
}

}  // namespace
}  // namespace qor::testing
