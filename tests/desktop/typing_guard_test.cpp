// The guard before every typed character, on the real desktop: a long text stops at the first
// character after another window came in front, the screen locked or the keyboard focus moved
// into a password field, and only what was typed before arrived. Typing also leaves the names of
// the user's keyboard layout as it found them.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>

#include "desktop/support/desktop_support.h"
#include "desktop/support/screen_saver_service.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::ScreenSaverService;

const char* const kFixture = "dev.qor.Fixture";

// The fixture as observed now (the "result" of "app.observe").
Json observe(Bridge& bridge) {
  return desktoptest::observeUntil(bridge, kFixture, [](const Json&) { return true; });
}

std::vector<Json> nameFields(const Json& observed) {
  return desktoptest::nodesWhere(observed["tree"], [](const Json& n) {
    return n.value("role", "") == "AXTextField" && !n.contains("secure");
  });
}

// The text of the fixture's Name entry (the one plain text field).
std::string nameText(const Json& observed) {
  std::vector<Json> found = nameFields(observed);
  return found.size() == 1 ? found[0].value("value", "") : "<no single entry>";
}

// What the Name entry holds once the fixture has caught up: the same text twice in a row.
std::string settledNameText(Bridge& bridge) {
  std::string last;
  Json observed = desktoptest::observeUntil(bridge, kFixture, [&](const Json& o) {
    std::string now = nameText(o);
    bool same = now == last;
    last = now;
    return same;
  });
  return nameText(observed);
}

// Clicks into the Name entry, selects what it holds and types `text` over it, without waiting
// for the answer.
long long startTyping(Bridge& bridge, const std::string& text) {
  Json observed = observe(bridge);
  std::vector<Json> fields = nameFields(observed);
  EXPECT_EQ(fields.size(), 1u);
  return bridge.send(
      "app.act",
      {{"bundleId", kFixture},
       {"observationId", observed["observationId"]},
       {"actions",
        Json::array({desktoptest::clickAt(observed, fields.empty() ? Json::object() : fields[0]),
                     Json{{"type", "key"}, {"key", "a"}, {"modifiers", {"control"}}},
                     Json{{"type", "type"}, {"text", text}}})}});
}

struct Interruption {
  std::string name;
  // Put into the text after its first 200 characters ("" for nothing).
  std::string inText;
  // Done once typing has begun; what it returns lives until the typing has stopped.
  std::function<std::shared_ptr<void>(ScreenSaverService&)> during;
  std::string code;
};

void PrintTo(const Interruption& row, std::ostream* out) {
  *out << row.name;
}

class TypingGuard : public testing::TestWithParam<Interruption> {};

TEST_P(TypingGuard, StopsTheTextAtTheNextCharacter) {
  const Interruption& row = GetParam();
  ScreenSaverService screenSaver(false);
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  // Long enough to be still typing when a program started meanwhile has come in front.
  std::string text;
  for (int i = 0; i < 9000; ++i) {
    text += "abcdefghij";
  }
  const std::string beforeBreak = text.substr(0, 200);
  text.insert(200, row.inText);
  long long id = startTyping(bridge, text);
  // Observing runs between the typed characters; it shows when typing has begun.
  std::string seen = "Ada";
  for (int i = 0; i < 200 && (seen == "Ada" || seen.empty()); ++i) {
    seen = nameText(observe(bridge));
  }
  std::shared_ptr<void> interruption = row.during ? row.during(screenSaver) : nullptr;
  Json stopped = bridge.response(id, std::chrono::seconds(60));
  EXPECT_EQ(desktoptest::errorCode(stopped), row.code) << stopped.dump();
  EXPECT_EQ(stopped["error"]["details"]["failedIndex"], 2) << stopped.dump();

  std::string typed = settledNameText(bridge);
  EXPECT_LT(typed.size(), text.size());
  EXPECT_EQ(text.substr(0, typed.size()), typed);
  if (!row.inText.empty()) {
    EXPECT_EQ(typed, beforeBreak);  // nothing after the break went anywhere
  }
}

INSTANTIATE_TEST_SUITE_P(
    Interruptions, TypingGuard,
    testing::Values(Interruption{"AnotherWindowComesInFront", "",
                                 [](ScreenSaverService&) -> std::shared_ptr<void> {
                                   return desktoptest::startStock({"xterm"});
                                 },
                                 "focusUnavailable"},
                    Interruption{"TheScreenLocks", "",
                                 [](ScreenSaverService& screenSaver) -> std::shared_ptr<void> {
                                   screenSaver.lock();
                                   return nullptr;
                                 },
                                 "sessionUnavailable"},
                    // Tab moves the focus from the Name entry on to the Password entry below it.
                    Interruption{"FocusMovesIntoAPasswordField", "\t", nullptr,
                                 "userInputRequired"}),
    [](const testing::TestParamInfo<Interruption>& param) { return param.param.name; });

std::string layoutNames() {
  return desktoptest::run({"setxkbmap", "-query"}).value_or("<setxkbmap failed>");
}

class TypingLayout : public testing::TestWithParam<std::string> {};

// Characters the layout lacks are typed through spare keys; changing the keyboard mapping for
// them must not leave the layout's names (which settings daemons and layout indicators read)
// saying another layout.
TEST_P(TypingLayout, TypesExactlyAndLeavesTheLayoutNamesAsFound) {
  ASSERT_TRUE(desktoptest::run({"setxkbmap", GetParam()}));
  const std::string names = layoutNames();
  ASSERT_NE(names.find(GetParam()), std::string::npos) << names;
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  const std::string text = "Grüße, Ærø! ő € ñ 👍";
  Json typed = bridge.response(startTyping(bridge, text));
  ASSERT_TRUE(typed.contains("result")) << typed.dump();
  EXPECT_EQ(nameText(desktoptest::observeUntil(bridge, kFixture,
                                               [&](const Json& o) { return nameText(o) == text; })),
            text);
  EXPECT_EQ(layoutNames(), names);  // with the spare keys bound
  EXPECT_EQ(bridge.finish(), 0);
  EXPECT_EQ(layoutNames(), names);  // and given back
}

INSTANTIATE_TEST_SUITE_P(Layouts, TypingLayout, testing::Values("de", "fr"));

}  // namespace
}  // namespace qor
