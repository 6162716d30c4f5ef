// "app.appleEvent" on the simulated desktop: the order of its checks, that nothing is sent
// unless every part of the event converts, and how replies come back.

#include <gtest/gtest.h>

#include <string>

#include "bridge/support/harness.h"
#include "core/apple_descriptor.h"

namespace qor {
namespace {

constexpr desktop::Pid kPid = 321;
constexpr const char* kMail = "com.example.mail";
constexpr FourCharCode kCore = fourCharLiteral("core");
constexpr FourCharCode kGetData = fourCharLiteral("getd");

class AppleEventTest : public ::testing::Test {
 protected:
  AppleEventTest() {
    h.desktop.addApplication(kPid, kMail);
    h.desktop.automation[kMail] = 0;
  }

  static Json params(const Json& extra = Json::object()) {
    Json params{{"bundleId", kMail}, {"eventClass", "core"}, {"eventId", "getd"}};
    params.update(extra);
    return params;
  }

  Json send(const Json& parameters) {
    h.request(++id, "app.appleEvent", parameters);
    return h.responseFor(id);
  }

  Json reply(const Json& parameters) {
    Json response = send(parameters);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"];
  }

  void expectFailure(const Json& parameters, const std::string& code, const std::string& message,
                     const Json& details = Json::object()) {
    Json response = send(parameters);
    ASSERT_TRUE(response.contains("error")) << response.dump();
    EXPECT_EQ(response["error"], (Json{{"code", code}, {"message", message}, {"details", details}}))
        << parameters.dump();
  }

  // Refused before sending: nothing reached the application.
  void expectRefused(const Json& parameters, const std::string& message) {
    expectFailure(parameters, "invalidArgument", message);
    EXPECT_TRUE(h.desktop.log.appleEvents.empty()) << parameters.dump();
  }

  void script(AppleDescriptor answer) { h.desktop.appleEventReplies[{kCore, kGetData}] = answer; }

  testing::Harness h;
  int id = 0;
};

TEST_F(AppleEventTest, SendsTheConvertedEventAndAnswersWithTheDirectObject) {
  script(eventDescriptor(
      {{ae::kDirectObject, textDescriptor("Inbox")}, {ae::kErrorNumber, integerDescriptor(0)}}));
  Json result = reply(params({{"parameters",
                               {{"----", {{"type", "string"}, {"value", "name"}}},
                                {"kocl", {{"type", "type"}, {"value", "cobj"}}}}}}));
  EXPECT_EQ(result, (Json{{"bundleId", kMail}, {"pid", kPid}, {"reply", "Inbox"}}));

  ASSERT_EQ(h.desktop.log.appleEvents.size(), 1u);
  const sim::SentAppleEvent& sent = h.desktop.log.appleEvents[0];
  EXPECT_EQ(sent.event.eventClass, kCore);
  EXPECT_EQ(sent.event.eventID, kGetData);
  EXPECT_EQ(sent.event.targetBundleID, kMail);
  EXPECT_EQ(sent.event.sendOptions, 19u);  // wait for the reply, never interact
  EXPECT_EQ(sent.timeoutSeconds, 5);
  ASSERT_EQ(sent.event.parameters.size(), 2u);
  for (const auto& [keyword, value] : sent.event.parameters) {
    if (keyword == ae::kDirectObject) {
      EXPECT_EQ(stringValue(value), "name");
    } else {
      EXPECT_EQ(keyword, fourCharLiteral("kocl"));
      EXPECT_EQ(value.type, ae::kTypeCode);
    }
  }
}

TEST_F(AppleEventTest, RefusesWithoutAutomationConsentAndNeverPrompts) {
  h.desktop.automation.erase(kMail);  // never asked: -1744
  h.desktop.automationPromptAnswers[kMail] = 0;
  const Json details{{"permission", "automation"}, {"bundleId", kMail}};
  const std::string message = "macOS Automation access is required for the selected application";
  expectFailure(params(), "missingPermission", message, details);
  h.desktop.automation[kMail] = -1743;  // denied
  // The permission is checked before the event's own codes are read.
  expectFailure(params({{"eventClass", "bad"}}), "missingPermission", message, details);

  EXPECT_TRUE(h.desktop.log.appleEvents.empty());
  ASSERT_EQ(h.desktop.log.automationQueries.size(), 2u);
  for (const sim::AutomationQuery& query : h.desktop.log.automationQueries) {
    EXPECT_FALSE(query.ask);
  }
}

TEST_F(AppleEventTest, NeedsARunningTargetBeforeAnythingElse) {
  expectFailure(params({{"bundleId", "com.example.absent"}, {"eventId", 1}}),
                "applicationNotRunning", "The selected application is not running",
                Json{{"bundleId", "com.example.absent"}});
  expectRefused(Json{{"eventClass", "core"}}, "Missing string: bundleId");
  EXPECT_TRUE(h.desktop.log.automationQueries.empty());
}

TEST_F(AppleEventTest, ReadsTheClassThenTheIdAsFourCharacterCodes) {
  Json misspelt = params();
  misspelt.erase("eventId");
  misspelt["eventID"] = "getd";
  expectRefused(misspelt, "Missing string: eventId");
  expectRefused(params({{"eventClass", ""}, {"eventId", "x"}}), "Missing string: eventClass");
  expectRefused(params({{"eventClass", "cor"}, {"eventId", 4}}),
                "Apple Event codes must be four ASCII characters");
  expectRefused(params({{"eventId", "getdata"}}),
                "Apple Event codes must be four ASCII characters");
  expectRefused(params({{"eventClass", "cöre"}}),
                "Apple Event codes must be four ASCII characters");
}

TEST_F(AppleEventTest, SendsNothingWhenAnyParameterFailsToConvert) {
  const Json good{{"type", "integer"}, {"value", 3}};
  expectRefused(params({{"parameters", {{"----", "plain text"}}}}),
                "Apple Event parameters require typed descriptors");
  expectRefused(
      params({{"parameters", {{"----", good}, {"kfil", {{"type", "integer"}, {"value", 3.5}}}}}}),
      "Integer outside -2147483648...2147483647");
  expectRefused(params({{"parameters", {{"----", good}, {"dir", good}}}}),
                "Apple Event codes must be four ASCII characters");
  // The value converts before its keyword is read.
  expectRefused(params({{"parameters", {{"dir", {{"type", "file"}, {"value", "relative"}}}}}}),
                "File descriptors require absolute paths");
  // Parameters are converted before the time-out is read.
  expectRefused(params({{"parameters", {{"----", 1}}}, {"timeoutSeconds", 0}}),
                "Apple Event parameters require typed descriptors");
}

TEST_F(AppleEventTest, IgnoresParametersThatAreNotAnObject) {
  script(eventDescriptor({{ae::kDirectObject, booleanDescriptor(true)}}));
  EXPECT_EQ(
      reply(params({{"parameters", Json::array({{{"type", "string"}, {"value", "x"}}})}}))["reply"],
      true);
  EXPECT_EQ(reply(params({{"parameters", "----"}}))["reply"], true);
  ASSERT_EQ(h.desktop.log.appleEvents.size(), 2u);
  EXPECT_TRUE(h.desktop.log.appleEvents[0].event.parameters.empty());
  EXPECT_TRUE(h.desktop.log.appleEvents[1].event.parameters.empty());
}

TEST_F(AppleEventTest, TimeoutIsAWholeNumberOfSecondsFromOneToFifteen) {
  script(eventDescriptor({}));
  for (const Json& refused : {Json(0), Json(16), Json(2.5), Json("5"), Json(nullptr), Json(true)}) {
    expectRefused(params({{"timeoutSeconds", refused}}), "Integer outside 1...15");
  }
  reply(params({{"timeoutSeconds", 1}}));
  reply(params({{"timeoutSeconds", 15.0}}));
  reply(params());
  ASSERT_EQ(h.desktop.log.appleEvents.size(), 3u);
  EXPECT_EQ(h.desktop.log.appleEvents[0].timeoutSeconds, 1);
  EXPECT_EQ(h.desktop.log.appleEvents[1].timeoutSeconds, 15);
  EXPECT_EQ(h.desktop.log.appleEvents[2].timeoutSeconds, 5);
}

TEST_F(AppleEventTest, AnErrorNumberInTheReplyIsARefusalByTheApplication) {
  // Unscripted events get the platform's "not handled" reply: 'errn' -1708 and no 'errs'.
  expectFailure(params({{"eventId", "zzzz"}}), "appleEventFailed",
                "Application rejected Apple Event", Json{{"status", -1708}});
  script(eventDescriptor({{ae::kErrorNumber, integerDescriptor(-10000)},
                          {ae::kErrorString, textDescriptor("Mailbox is locked")}}));
  expectFailure(params(), "appleEventFailed", "Mailbox is locked", Json{{"status", -10000}});
  script(eventDescriptor({{ae::kErrorNumber, integerDescriptor(-1)},
                          {ae::kErrorString, recordDescriptor()}}));  // 'errs' without text
  expectFailure(params(), "appleEventFailed", "Application rejected Apple Event",
                Json{{"status", -1}});
  EXPECT_EQ(h.desktop.log.appleEvents.size(), 3u);
}

TEST_F(AppleEventTest, AReplyWithoutDirectObjectIsSummarisedWhole) {
  AppleDescriptor answer = eventDescriptor({{ae::kErrorNumber, integerDescriptor(0)}});
  script(answer);
  EXPECT_EQ(reply(params())["reply"],
            (Json{{"descriptorType", 1634039412}, {"bytes", dataByteLength(answer)}}));
}

TEST_F(AppleEventTest, APlatformErrorWhileSendingIsReportedAsItsDescription) {
  h.desktop.appleEventReplies[{kCore, kGetData}] = desktop::PlatformError{"AppleEvent timed out."};
  expectFailure(params({{"timeoutSeconds", 2}}), "operationFailed", "AppleEvent timed out.");
  ASSERT_EQ(h.desktop.log.appleEvents.size(), 1u);
  EXPECT_EQ(h.desktop.log.appleEvents[0].timeoutSeconds, 2);
}

}  // namespace
}  // namespace qor
