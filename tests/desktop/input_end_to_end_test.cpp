// Physical input of the product executable: clicks, scrolls, keys and typed text through the
// bridge's own XInput devices, the user-input monitor, and the guard's refusals, against the
// fixture in a private desktop session. Results are read back by observing.

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <thread>

#include "core/native_keys.h"
#include "desktop/support/desktop_support.h"
#include "platform/x11/key_symbols.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::nodesWhere;

const char* const kFixture = "dev.qor.Fixture";

Json observe(Bridge& bridge) {
  Json response = bridge.request("app.observe", {{"bundleId", kFixture}});
  EXPECT_TRUE(response.contains("result")) << response.dump();
  return response.value("result", Json::object());
}

Json act(Bridge& bridge, const Json& observed, const Json& actions) {
  return bridge.request(
      "app.act",
      {{"bundleId", kFixture}, {"observationId", observed["observationId"]}, {"actions", actions}});
}

std::string errorCode(const Json& response) {
  return response.contains("error") ? response["error"].value("code", "") : "";
}

Json secureField(const Json& observed) {
  std::vector<Json> found =
      nodesWhere(observed["tree"], [](const Json& n) { return n.contains("secure"); });
  EXPECT_EQ(found.size(), 1u);
  return found.empty() ? Json::object() : found.front();
}

// The text of the fixture's Name entry (the one plain text field).
std::string nameText(const Json& observed) {
  std::vector<Json> found = nodesWhere(observed["tree"], [](const Json& n) {
    return n.value("role", "") == "AXTextField" && !n.contains("secure");
  });
  return found.size() == 1 ? found[0].value("value", "") : "<no single entry>";
}

// A stand-in for the desktop's screen saver on the session bus, answering GetActive.
class ScreenSaverService {
 public:
  explicit ScreenSaverService(bool active) : active_(active) {
    EXPECT_GE(sd_bus_open_user(&bus_), 0);
    EXPECT_GE(sd_bus_add_object(bus_, nullptr, "/org/freedesktop/ScreenSaver", &answer, this), 0);
    // Owned once this returns: the bridge can ask at once.
    EXPECT_GE(sd_bus_request_name(bus_, "org.freedesktop.ScreenSaver", 0), 0);
    thread_ = std::thread([this] {
      while (!stop_) {
        while (sd_bus_process(bus_, nullptr) > 0) {
        }
        sd_bus_wait(bus_, 50'000);
      }
    });
  }
  ~ScreenSaverService() {
    stop_ = true;
    thread_.join();
    sd_bus_flush_close_unref(bus_);
  }

 private:
  static int answer(sd_bus_message* call, void* self, sd_bus_error*) {
    if (!sd_bus_message_is_method_call(call, "org.freedesktop.ScreenSaver", "GetActive")) {
      return 0;
    }
    return sd_bus_reply_method_return(call, "b",
                                      static_cast<ScreenSaverService*>(self)->active_ ? 1 : 0);
  }

  sd_bus* bus_ = nullptr;
  bool active_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The one node with this role whose title or value is `text`.
Json node(const Json& observed, const std::string& role, const std::string& text) {
  std::vector<Json> found = nodesWhere(observed["tree"], [&](const Json& n) {
    return n.value("role", "") == role &&
           (n.value("title", "") == text || n.value("value", Json()) == text);
  });
  EXPECT_EQ(found.size(), 1u) << role << " " << text << " among "
                              << nodesWhere(
                                     observed["tree"],
                                     [&](const Json& n) { return n.value("role", "") == role; })
                                     .size()
                              << ": " << Json(nodesWhere(observed["tree"], [&](const Json& n) {
                                           return n.value("role", "") == role;
                                         })).dump();
  return found.empty() ? Json::object() : found.front();
}

// The centre of a node in window points, ready for a click action.
Json clickAt(const Json& observed, const Json& target, Json extra = Json::object()) {
  const Json& window = observed["windows"][0]["frame"];
  const Json& frame = target["frame"];
  extra["type"] = "click";
  extra["x"] =
      frame["x"].get<double>() - window["x"].get<double>() + frame["width"].get<double>() / 2;
  extra["y"] =
      frame["y"].get<double>() - window["y"].get<double>() + frame["height"].get<double>() / 2;
  return extra;
}

TEST(InputEndToEnd, ClicksAndDoubleClicksPressTheButton) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  Json clicked = act(bridge, observed,
                     Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}));
  ASSERT_TRUE(clicked.contains("result")) << clicked.dump();
  EXPECT_EQ(clicked["result"]["actions"][0]["status"], "dispatched");

  observed = observe(bridge);
  node(observed, "AXStaticText", "Clicks: 1");
  Json doubled = act(bridge, observed,
                     Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"),
                                          {{"clickCount", 2}})}));
  ASSERT_TRUE(doubled.contains("result")) << doubled.dump();
  node(observe(bridge), "AXStaticText", "Clicks: 3");
}

TEST(InputEndToEnd, TypesKeysWithModifiersAndUnicodeTextExactly) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  const std::string text =
      "Grüße, Ærø! e\u0301 n\u0303 👍🏽 👩‍👩‍👧 Ünïcödé ẞ ÿ";
  Json typed = act(bridge, observed,
                   Json::array({clickAt(observed, node(observed, "AXTextField", "Ada")),
                                Json{{"type", "key"}, {"key", "a"}, {"modifiers", {"control"}}},
                                Json{{"type", "type"}, {"text", text}}}));
  ASSERT_TRUE(typed.contains("result")) << typed.dump();
  node(observe(bridge), "AXTextField", text);

  // command stands for Control: select all again, then replace with an upper-case text that
  // needs Shift, and a line break that the entry ignores.
  observed = observe(bridge);
  typed = act(bridge, observed,
              Json::array({Json{{"type", "key"}, {"key", "A"}, {"modifiers", {"command"}}},
                           Json{{"type", "type"}, {"text", "HELLO World"}},
                           Json{{"type", "key"}, {"key", "left"}, {"modifiers", {"shift"}}},
                           Json{{"type", "type"}, {"text", "D"}}}));
  ASSERT_TRUE(typed.contains("result")) << typed.dump();
  node(observe(bridge), "AXTextField", "HELLO WorlD");
}

TEST(InputEndToEnd, ScrollsTheListByWheelNotches) {
  auto fixture = desktoptest::startFixture({"--rows", "200"});
  Bridge bridge;
  Json observed = observe(bridge);
  Json row = node(observed, "AXCell", "Row 3");
  const double before = node(observed, "AXCell", "Row 1")["frame"]["y"].get<double>();
  Json scroll = clickAt(observed, row);
  scroll["type"] = "scroll";
  scroll["deltaX"] = 0;
  scroll["deltaY"] = -400;  // down, as the wheel moved towards the user
  Json scrolled = act(bridge, observed, Json::array({scroll}));
  ASSERT_TRUE(scrolled.contains("result")) << scrolled.dump();
  Json first = node(observe(bridge), "AXCell", "Row 1");
  if (first.contains("frame")) {
    EXPECT_LT(first["frame"]["y"].get<double>(), before - 100);
  }
}

TEST(InputEndToEnd, NeverTypesIntoAPasswordField) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  Json refused = act(bridge, observed,
                     Json::array({clickAt(observed, secureField(observed)),
                                  Json{{"type", "type"}, {"text", "secret"}}}));
  EXPECT_EQ(errorCode(refused), "userInputRequired") << refused.dump();
  EXPECT_EQ(refused["error"]["message"], "Enter credentials in the selected application");
  EXPECT_EQ(refused["error"]["details"]["failedIndex"], 1);
  EXPECT_EQ(refused["error"]["details"]["completedActions"].size(), 1u);
  // Keys typed afterwards go to the same field: nothing of the refused text arrived before them.
  observed = observe(bridge);
  Json check = act(
      bridge, observed,
      Json::array({clickAt(observed, node(observed, "AXTextField", "Ada")),
                   Json{{"type", "key"}, {"key", "end"}}, Json{{"type", "type"}, {"text", "!"}}}));
  ASSERT_TRUE(check.contains("result")) << check.dump();
  EXPECT_EQ(nameText(observe(bridge)), "Ada!");
}

TEST(InputEndToEnd, StopsForTheUsersMouseButNeverForItsOwnClicks) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  Json button = node(observed, "AXButton", "Count Click");
  Json wait = {{"type", "wait"}, {"milliseconds", 300}};
  Json own = act(bridge, observed,
                 Json::array({clickAt(observed, button), wait, clickAt(observed, button), wait}));
  ASSERT_TRUE(own.contains("result")) << own.dump();

  observed = observe(bridge);
  node(observed, "AXStaticText", "Clicks: 2");
  // xdotool sends through the core XTEST pointer, as any other program or the user's mouse
  // would (a relative motion: an absolute one warps the pointer, which no device reports).
  desktoptest::Program user({"xdotool", "sleep", "0.8", "mousemove_relative", "5", "7"});
  Json stopped =
      act(bridge, observed,
          Json::array({Json{{"type", "wait"}, {"milliseconds", 3000}}, clickAt(observed, button)}));
  EXPECT_EQ(errorCode(stopped), "userTakeover") << stopped.dump();
  EXPECT_EQ(stopped["error"]["message"], "User input detected; stopped before the next action");
  EXPECT_EQ(stopped["error"]["details"]["failedIndex"], 1);
  EXPECT_EQ(stopped["error"]["details"]["completedActions"].size(), 1u);
  node(observe(bridge), "AXStaticText", "Clicks: 2");
}

TEST(InputEndToEnd, RefusesWhileTheScreenIsLockedOrAnotherApplicationIsInFront) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  {
    ScreenSaverService locked(true);
    Json observed = observe(bridge);
    Json refused = act(bridge, observed,
                       Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}));
    EXPECT_EQ(errorCode(refused), "sessionUnavailable") << refused.dump();
    EXPECT_EQ(refused["error"]["message"], "Unlock the Mac to continue visual operation");
  }
  {
    ScreenSaverService unlocked(false);
    Json observed = observe(bridge);
    Json clicked = act(bridge, observed,
                       Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}));
    EXPECT_TRUE(clicked.contains("result")) << clicked.dump();
  }
  Json observed = observe(bridge);
  auto xterm = desktoptest::startStock({"xterm"});
  Json refused = act(bridge, observed,
                     Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}));
  EXPECT_EQ(errorCode(refused), "focusUnavailable") << refused.dump();
  EXPECT_EQ(refused["error"]["details"]["reason"], "windowNotForeground");
  // Only the click with the screen unlocked and the fixture in front arrived.
  node(observe(bridge), "AXStaticText", "Clicks: 1");
}

TEST(InputEndToEnd, CancellingMidTextLeavesThePrefixTyped) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += "abcdefghij";
  }
  long long id = bridge.send(
      "app.act",
      {{"bundleId", kFixture},
       {"observationId", observed["observationId"]},
       {"operationId", "typing"},
       {"actions", Json::array({clickAt(observed, node(observed, "AXTextField", "Ada")),
                                Json{{"type", "key"}, {"key", "a"}, {"modifiers", {"control"}}},
                                Json{{"type", "type"}, {"text", text}}})}});
  // Observing runs between the typed characters; it shows when typing has begun.
  std::string seen = "Ada";
  for (int i = 0; i < 200 && (seen == "Ada" || seen.empty()); ++i) {
    seen = nameText(observe(bridge));
  }
  ASSERT_TRUE(bridge.request("operation.cancel", {{"operationId", "typing"}}).contains("result"));
  Json cancelled = bridge.response(id);
  EXPECT_EQ(errorCode(cancelled), "cancelled") << cancelled.dump();
  EXPECT_EQ(cancelled["error"]["details"]["failedIndex"], 2);
  std::string typed = nameText(observe(bridge));
  EXPECT_FALSE(typed.empty());
  EXPECT_LT(typed.size(), text.size());
  EXPECT_EQ(text.substr(0, typed.size()), typed);
}

TEST(X11InputRules, MapMacKeyCodesToUsKeysyms) {
  for (const auto& [name, code] : NativeKeys::named()) {
    EXPECT_TRUE(platform::keysymForMacKey(code)) << name;
  }
  EXPECT_EQ(platform::keysymForMacKey(0), 'a');
  EXPECT_EQ(platform::keysymForMacKey(11), 'b');
  EXPECT_EQ(platform::keysymForMacKey(29), '0');
  EXPECT_EQ(platform::keysymForMacKey(36), 0xff0du);   // Return
  EXPECT_EQ(platform::keysymForMacKey(51), 0xff08u);   // BackSpace
  EXPECT_EQ(platform::keysymForMacKey(117), 0xffffu);  // Delete
  EXPECT_EQ(platform::keysymForMacKey(122), 0xffbeu);  // F1
  EXPECT_EQ(platform::keysymForMacKey(111), 0xffc9u);  // F12
  EXPECT_EQ(platform::keysymForMacKey(126), 0xff52u);  // Up
  EXPECT_EQ(platform::keysymForMacKey(82), 0xffb0u);   // keypad 0
  EXPECT_FALSE(platform::keysymForMacKey(10));         // the ISO section key
  EXPECT_FALSE(platform::keysymForMacKey(63));         // Fn
  EXPECT_FALSE(platform::keysymForMacKey(128));

  using platform::kAltL, platform::kControlL, platform::kShiftL;
  EXPECT_EQ(platform::modifierKeysyms(NativeKeys::kCommandFlag | NativeKeys::kControlFlag),
            std::vector<platform::Keysym>{kControlL});
  EXPECT_EQ(platform::modifierKeysyms(NativeKeys::kShiftFlag | NativeKeys::kAlternateFlag),
            (std::vector<platform::Keysym>{kAltL, kShiftL}));
  EXPECT_TRUE(platform::modifierKeysyms(0).empty());
}

TEST(X11InputRules, TypeEveryCodePointOfACharacter) {
  using Keysyms = std::vector<platform::Keysym>;
  EXPECT_EQ(platform::keysymsForText(u"a"), Keysyms{'a'});
  EXPECT_EQ(platform::keysymsForText(u"\u00e9"), Keysyms{0xe9});
  EXPECT_EQ(platform::keysymsForText(u"e\u0301"), (Keysyms{'e', 0x1000301}));
  EXPECT_EQ(platform::keysymsForText(u"\u20ac"), Keysyms{0x10020ac});
  EXPECT_EQ(platform::keysymsForText(u"\U0001F44D\U0001F3FD"), (Keysyms{0x101f44d, 0x101f3fd}));
  EXPECT_EQ(platform::keysymsForText(u"\r\n"), Keysyms{0xff0d});
  EXPECT_EQ(platform::keysymsForText(u"\n"), Keysyms{0xff0d});
  EXPECT_EQ(platform::keysymsForText(u"\t"), Keysyms{0xff09});
  EXPECT_EQ(platform::keysymsForText(std::u16string(1, char16_t(0xd83d))), Keysyms{});
}

TEST(X11InputRules, ScrollInNotchesOfFortyPixels) {
  auto clicks = [](std::int32_t y, std::int32_t x) {
    std::vector<std::pair<int, int>> out;
    for (const platform::WheelClicks& c : platform::wheelClicks(y, x)) {
      out.emplace_back(c.button, c.count);
    }
    return out;
  };
  using Clicks = std::vector<std::pair<int, int>>;
  EXPECT_EQ(clicks(-400, 0), (Clicks{{5, 10}}));
  EXPECT_EQ(clicks(120, 0), (Clicks{{4, 3}}));
  EXPECT_EQ(clicks(1, 0), (Clicks{{4, 1}}));  // any movement moves at least one notch
  EXPECT_EQ(clicks(0, 60), (Clicks{{6, 2}}));
  EXPECT_EQ(clicks(-10'000, -19), (Clicks{{5, 250}, {7, 1}}));
  EXPECT_TRUE(clicks(0, 0).empty());
}

}  // namespace
}  // namespace qor
