// "key" and "type": the events that reach the target process, the refusals before any event, and
// the stops in the middle of a text.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "bridge/support/act_fixture.h"
#include "core/native_keys.h"

namespace qor::testing {
namespace {

using desktop::KeyEvent;

Json key(const Json& name, const Json& modifiers = nullptr) {
  Json action{{"type", "key"}, {"key", name}};
  if (!modifiers.is_null()) {
    action["modifiers"] = modifiers;
  }
  return action;
}

Json type(const std::string& text) {
  return Json{{"type", "type"}, {"text", text}};
}

// The texts the bridge typed, one entry per key-down, after checking each key-up matches.
std::vector<std::u16string> typedCharacters(const std::vector<KeyEvent>& events) {
  std::vector<std::u16string> characters;
  for (std::size_t i = 0; i + 1 < events.size(); i += 2) {
    EXPECT_TRUE(events[i].down);
    EXPECT_FALSE(events[i + 1].down);
    EXPECT_EQ(events[i].text, events[i + 1].text);
    EXPECT_EQ(events[i].keyCode, 0);
    EXPECT_EQ(events[i].flags, 0u);
    characters.push_back(events[i].text.value_or(u"<none>"));
  }
  EXPECT_EQ(events.size() % 2, 0u);
  return characters;
}

TEST_F(ActTest, KeyCarriesModifiersAsFlagsOnBothEvents) {
  runBatch(Json::array({key("Enter", Json::array({"command", "shift"})), key(53)}));
  std::vector<KeyEvent> events = postedOf<KeyEvent>();
  ASSERT_EQ(events.size(), 4u) << "modifiers are never pressed as keys";
  const std::uint64_t both = NativeKeys::kCommandFlag | NativeKeys::kShiftFlag;
  EXPECT_EQ(events[0].keyCode, 36);
  EXPECT_TRUE(events[0].down);
  EXPECT_EQ(events[0].flags, both);
  EXPECT_EQ(events[1].keyCode, 36);
  EXPECT_FALSE(events[1].down);
  EXPECT_EQ(events[1].flags, both);
  EXPECT_EQ(events[2].keyCode, 53);
  EXPECT_EQ(events[2].flags, 0u);
  for (const sim::PostedEvent& entry : posted()) {
    EXPECT_EQ(entry.pid, kPid);
    EXPECT_EQ(std::get<KeyEvent>(entry.event).marker, UserInputMonitor::eventMarker);
    EXPECT_FALSE(std::get<KeyEvent>(entry.event).text);
  }
}

TEST_F(ActTest, ModifiersThatAreNotAListOfStringsMeanNone) {
  runBatch(Json::array(
      {key("a", "shift"), key("a", Json::array({"shift", 1})), key("a", Json{{"shift", true}})}));
  std::vector<KeyEvent> events = postedOf<KeyEvent>();
  ASSERT_EQ(events.size(), 6u);
  for (const KeyEvent& event : events) {
    EXPECT_EQ(event.flags, 0u);
  }
}

TEST_F(ActTest, BadKeysAndModifiersFailBeforeAnyEvent) {
  Json unknownKey = errorOf(runBatch(Json::array({key("esc")})));
  EXPECT_EQ(unknownKey,
            (Json{{"code", "invalidArgument"},
                  {"message", "Unknown key; use a named key or macOS virtual key code 0...127"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({Json{{"type", "key"}}})))["message"],
            "Unknown key; use a named key or macOS virtual key code 0...127");
  storeObservation();
  EXPECT_EQ(
      errorOf(runBatch(Json::array({key("a", Json::array({"command", "Shift"}))})))["message"],
      "Unknown key modifier: Shift");
  EXPECT_TRUE(posted().empty());

  storeObservation();
  h.desktop.eventCreationLimit = 1;
  Json error = errorOf(runBatch(Json::array({key("a")})));
  EXPECT_EQ(error["code"], "inputUnavailable");
  EXPECT_EQ(error["message"], "Could not create keyboard event");
  EXPECT_EQ(posted().size(), 1u);
}

TEST_F(ActTest, TypeSendsOnePairPerUserPerceivedCharacter) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";
  const std::string accented = "e\u0301";
  const std::string flag = "\U0001F1EB\U0001F1F7";
  Json response = runBatch(Json::array({type("a" + accented + family + flag + "\r\n")}));
  EXPECT_EQ(response["result"]["actions"], Json::array({dispatched(0, "type")}));
  EXPECT_EQ(
      typedCharacters(postedOf<KeyEvent>()),
      (std::vector<std::u16string>{u"a", u"e\u0301", u"\U0001F468\u200D\U0001F469\u200D\U0001F467",
                                   u"\U0001F1EB\U0001F1F7", u"\r\n"}));
  for (const sim::PostedEvent& entry : posted()) {
    EXPECT_EQ(entry.pid, kPid);
    EXPECT_EQ(std::get<KeyEvent>(entry.event).marker, UserInputMonitor::eventMarker);
  }
}

TEST_F(ActTest, TextLengthIsCheckedBeforeThePasswordCheck) {
  h.desktop.application(kPid).element->focusedUIElement(password);
  Json error = errorOf(runBatch(Json::array({type(std::string(100'001, 'x'))})));
  EXPECT_EQ(error["code"], "invalidArgument");
  EXPECT_EQ(error["message"], "Text exceeds 100,000 UTF-16 units; use a file import");

  // 50,000 characters beyond the basic plane are exactly 100,000 units: allowed, so the check
  // that follows is reached.
  std::string emoji;
  for (int i = 0; i < 50'000; ++i) {
    emoji += "\U0001F600";
  }
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({type(emoji)})))["code"], "userInputRequired");
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({type(emoji + "x")})))["code"], "invalidArgument");

  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({type("")})))["message"], "Missing string: text");
  EXPECT_TRUE(posted().empty());
}

TEST_F(ActTest, NothingIsTypedIntoAFocusedPasswordField) {
  h.desktop.application(kPid).element->focusedUIElement(password);
  EXPECT_EQ(errorOf(runBatch(Json::array({type("hunter2")}))),
            (Json{{"code", "userInputRequired"},
                  {"message", "Enter credentials in the selected application"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_TRUE(posted().empty());

  // Focus that cannot be read counts as not secure.
  storeObservation();
  h.desktop.application(kPid).element->attributeError("AXFocusedUIElement",
                                                      desktop::kAXErrorNoValue);
  EXPECT_TRUE(runBatch(Json::array({type("a")})).contains("result"));
  storeObservation();
  h.desktop.application(kPid).element->attribute("AXFocusedUIElement",
                                                 std::string("AXSecureTextField"));
  EXPECT_TRUE(runBatch(Json::array({type("b")})).contains("result"));
}

TEST_F(ActTest, FocusMovedIntoAPasswordFieldMidTextStopsTheRest) {
  // The target moves its focus on the tab key, as a login form does.
  afterPosted(6, [this] { h.desktop.application(kPid).element->focusedUIElement(password); });
  Json error = errorOf(runBatch(Json::array({type("me\tsecret")})));
  EXPECT_EQ(error, (Json{{"code", "userInputRequired"},
                         {"message", "Enter credentials in the selected application"},
                         {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_EQ(typedCharacters(postedOf<KeyEvent>()), (std::vector<std::u16string>{u"m", u"e", u"\t"}))
      << "what was typed before stays typed";

  for (const std::string separator : {"\n", "\r", "\r\n"}) {
    h.desktop.application(kPid).element->focusedUIElement(field);
    h.desktop.log.events.clear();
    storeObservation();
    afterPosted(2, [this] { h.desktop.application(kPid).element->focusedUIElement(password); });
    EXPECT_EQ(errorOf(runBatch(Json::array({type(separator + "x")})))["code"], "userInputRequired");
    EXPECT_EQ(posted().size(), 2u);
  }
}

// After a key that can move the focus, typing goes on only once the application has shown
// where the focus went; one that does not answer may have moved it into a password field.
TEST_F(ActTest, FocusUnansweredAfterAFocusMovingKeyStopsTheRest) {
  for (const std::string separator : {"\t", "\n", "\r"}) {
    h.desktop.application(kPid).element->focusedUIElement(field);
    h.desktop.log.events.clear();
    storeObservation();
    afterPosted(4, [this] {
      h.desktop.application(kPid).element->attributeError("AXFocusedUIElement",
                                                          desktop::kAXErrorCannotComplete);
    });
    EXPECT_EQ(errorOf(runBatch(Json::array({type("a" + separator + "b")})))["code"],
              "accessibilityUnavailable")
        << "after " << Json(separator).dump();
    EXPECT_EQ(posted().size(), 4u) << "nothing after the key";
  }
}

TEST_F(ActTest, FocusMovingAfterTheLastCharacterTypesNothingMore) {
  afterPosted(4, [this] { h.desktop.application(kPid).element->focusedUIElement(password); });
  EXPECT_TRUE(runBatch(Json::array({type("a\t")})).contains("result"));
  EXPECT_EQ(posted().size(), 4u);
}

TEST_F(ActTest, AnotherWindowInFrontMidTextStopsTheRest) {
  afterPosted(6, [this] { bringSecondWindowToFront(); });
  EXPECT_EQ(errorOf(runBatch(Json::array({type("abcdef")}))),
            (Json{{"code", "staleObservation"},
                  {"message",
                   "A different window is now in front; observe the current window before "
                   "typing or clicking"},
                  {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_EQ(typedCharacters(postedOf<KeyEvent>()), (std::vector<std::u16string>{u"a", u"b", u"c"}));
}

TEST_F(ActTest, UserInputMidTextStopsBeforeTheForegroundCheck) {
  afterPosted(4, [this] {
    bringSecondWindowToFront();
    h.desktop.injectUserInput();
  });
  Json error = errorOf(runBatch(Json::array({type("abcdef")})));
  EXPECT_EQ(error["code"], "userTakeover");
  EXPECT_EQ(error["message"], "User input detected");
  EXPECT_EQ(posted().size(), 4u);
}

TEST_F(ActTest, CancellationMidTextStopsTheRest) {
  afterPosted(2, [this] { h.runtime.operations().cancel("1"); });
  Json error = errorOf(runBatch(Json::array({type("abc")})));
  EXPECT_EQ(error, (Json{{"code", "cancelled"},
                         {"message", "Operation stopped"},
                         {"details", {{"completedActions", Json::array()}, {"failedIndex", 0}}}}));
  EXPECT_EQ(posted().size(), 2u);
}

TEST_F(ActTest, TextEventsThePlatformCannotCreateFail) {
  h.desktop.eventCreationLimit = 3;
  Json error = errorOf(runBatch(Json::array({type("abc")})));
  EXPECT_EQ(error["code"], "inputUnavailable");
  EXPECT_EQ(error["message"], "Could not create text event");
  EXPECT_EQ(posted().size(), 3u);
}

TEST_F(ActTest, KeysAndTextNeedTheTargetInFront) {
  h.desktop.frontmostPid = kOtherPid;
  EXPECT_EQ(errorOf(runBatch(Json::array({key("nonsense")})))["code"], "focusUnavailable");
  storeObservation();
  EXPECT_EQ(errorOf(runBatch(Json::array({type("")})))["code"], "focusUnavailable")
      << "the guard comes before the text is read";
  EXPECT_TRUE(posted().empty());
}

}  // namespace
}  // namespace qor::testing
