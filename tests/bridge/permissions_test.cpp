// "permissions.status" and "permissions.request" on the simulated desktop: which keys answer,
// when Automation is asked about, which prompts are shown, and the refusals.

#include <gtest/gtest.h>

#include <string>

#include "bridge/support/harness.h"

namespace qor {
namespace {

constexpr const char* kMail = "com.example.mail";

class PermissionsTest : public ::testing::Test {
 protected:
  Json call(const std::string& method, const Json& params = Json::object()) {
    h.request(++id, method, params);
    return h.responseFor(id);
  }

  Json result(const std::string& method, const Json& params = Json::object()) {
    Json response = call(method, params);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"];
  }

  void expectRefusal(const Json& params, const std::string& message) {
    Json response = call("permissions.request", params);
    ASSERT_TRUE(response.contains("error")) << response.dump();
    EXPECT_EQ(
        response["error"],
        (Json{{"code", "invalidArgument"}, {"message", message}, {"details", Json::object()}}));
  }

  bool prompted() const {
    const sim::SimLog& log = h.desktop.log;
    bool askedAutomation = false;
    for (const sim::AutomationQuery& query : log.automationQueries) {
      askedAutomation = askedAutomation || query.ask;
    }
    return log.accessibilityPrompts > 0 || log.screenCapturePrompts > 0 || askedAutomation;
  }

  testing::Harness h;
  int id = 0;
};

TEST_F(PermissionsTest, StatusHasTheTwoFlagsAndAutomationOnlyForAStringBundleId) {
  h.desktop.accessibilityTrusted = true;
  h.desktop.screenCaptureGranted = false;
  EXPECT_EQ(result("permissions.status"),
            (Json{{"accessibility", true}, {"screenCapture", false}}));
  EXPECT_EQ(result("permissions.status", {{"bundleId", 7}}),
            (Json{{"accessibility", true}, {"screenCapture", false}}));
  EXPECT_EQ(result("permissions.status", {{"bundleId", Json::array({kMail})}}).size(), 2u);
  EXPECT_TRUE(h.desktop.log.automationQueries.empty());

  h.desktop.automation[kMail] = 0;
  Json status = result("permissions.status", {{"bundleId", kMail}});
  EXPECT_EQ(status["automation"],
            (Json{{"bundleId", kMail}, {"granted", true}, {"status", 0}, {"needsRequest", false}}));
  // Any string counts, the empty one too; it is passed on as given.
  EXPECT_EQ(result("permissions.status", {{"bundleId", ""}})["automation"]["bundleId"], "");
  EXPECT_FALSE(prompted());
}

TEST_F(PermissionsTest, AutomationStatusCodesMapToGrantedAndNeedsRequest) {
  h.desktop.automation["granted.app"] = 0;
  h.desktop.automation["unasked.app"] = sim::kAutomationNotDetermined;
  h.desktop.automation["denied.app"] = -1743;
  h.desktop.automation["stopped.app"] = -600;
  auto automation = [&](const char* bundleID) {
    return result("permissions.status", {{"bundleId", bundleID}})["automation"];
  };
  Json granted = automation("granted.app");
  EXPECT_EQ(granted["granted"], true);
  EXPECT_EQ(granted["needsRequest"], false);
  Json unasked = automation("unasked.app");
  EXPECT_EQ(unasked["status"], -1744);
  EXPECT_EQ(unasked["granted"], false);
  EXPECT_EQ(unasked["needsRequest"], true);
  for (const char* other : {"denied.app", "stopped.app"}) {
    Json refused = automation(other);
    EXPECT_EQ(refused["status"], h.desktop.automation[other]) << other;
    EXPECT_EQ(refused["granted"], false) << other;
    EXPECT_EQ(refused["needsRequest"], false) << other;
  }
  EXPECT_FALSE(prompted());
}

TEST_F(PermissionsTest, RequestShowsTheSystemPromptAndReportsTheStateAfterwards) {
  h.desktop.accessibilityTrusted = false;
  h.desktop.screenCaptureGranted = false;
  // The prompts do not wait for the user: the state returned is still the old one.
  EXPECT_EQ(result("permissions.request", {{"permission", "accessibility"}}),
            (Json{{"accessibility", false}, {"screenCapture", false}}));
  EXPECT_EQ(h.desktop.log.accessibilityPrompts, 1);
  EXPECT_EQ(result("permissions.request", {{"permission", "screenCapture"},
                                           {"bundleId", kMail}})["automation"]["needsRequest"],
            true);
  EXPECT_EQ(h.desktop.log.screenCapturePrompts, 1);
  EXPECT_EQ(h.desktop.log.accessibilityPrompts, 1);
  ASSERT_EQ(h.desktop.log.automationQueries.size(), 1u);
  EXPECT_FALSE(h.desktop.log.automationQueries[0].ask);
}

TEST_F(PermissionsTest, AutomationRequestAsksWithAPromptThenReadsAgainWithout) {
  h.desktop.automationPromptAnswers[kMail] = 0;
  Json status = result("permissions.request", {{"permission", "automation"}, {"bundleId", kMail}});
  EXPECT_EQ(status["automation"],
            (Json{{"bundleId", kMail}, {"granted", true}, {"status", 0}, {"needsRequest", false}}));
  const auto& queries = h.desktop.log.automationQueries;
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_TRUE(queries[0].ask);
  EXPECT_EQ(queries[0].bundleID, kMail);
  EXPECT_FALSE(queries[1].ask);
  EXPECT_EQ(h.desktop.log.accessibilityPrompts + h.desktop.log.screenCapturePrompts, 0);
}

TEST_F(PermissionsTest, RequestRefusesMissingUnknownAndIncompletePermissions) {
  expectRefusal(Json::object(), "Missing string: permission");
  expectRefusal({{"permission", ""}, {"bundleId", kMail}}, "Missing string: permission");
  expectRefusal({{"permission", true}}, "Missing string: permission");
  expectRefusal({{"permission", "Accessibility"}}, "Unknown macOS permission");
  expectRefusal({{"permission", "screencapture"}}, "Unknown macOS permission");
  expectRefusal({{"permission", "automation"}}, "Missing string: bundleId");
  expectRefusal({{"permission", "automation"}, {"bundleId", ""}}, "Missing string: bundleId");
  expectRefusal({{"permission", "automation"}, {"bundleId", 5}}, "Missing string: bundleId");
  EXPECT_FALSE(prompted());
  EXPECT_TRUE(h.desktop.log.automationQueries.empty());
}

}  // namespace
}  // namespace qor
