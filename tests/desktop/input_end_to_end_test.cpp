// Physical input of the product executable: clicks, scrolls, keys and typed text through the
// core XTest devices, the user-input monitor, and the guard's refusals, against the
// fixture in a private desktop session. Results are read back by observing.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <xcb/xinput.h>

#include <chrono>
#include <functional>

#include "core/native_keys.h"
#include "desktop/support/desktop_support.h"
#include "desktop/support/screen_saver_service.h"
#include "platform/x11/key_symbols.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::clickAt;
using desktoptest::errorCode;
using desktoptest::nodesWhere;
using desktoptest::ScreenSaverService;

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

// The number of the first list row that the toolkit places on screen (rows scrolled out of view
// have no frame).
int firstPlacedRow(const Json& observed) {
  for (int row = 1; row <= 200; ++row) {
    std::vector<Json> cells = nodesWhere(observed["tree"], [&](const Json& n) {
      return n.value("role", "") == "AXCell" &&
             n.value("title", "") == "Row " + std::to_string(row);
    });
    if (!cells.empty() && cells[0].contains("frame")) {
      return row;
    }
  }
  return 0;
}

// Whether the core keyboard mapping has `keysym` on any key.
bool keymapHas(std::uint32_t keysym) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const xcb_setup_t* setup = xcb_get_setup(connection);
  xcb_get_keyboard_mapping_reply_t* mapping = xcb_get_keyboard_mapping_reply(
      connection,
      xcb_get_keyboard_mapping(
          connection, setup->min_keycode,
          static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1)),
      nullptr);
  bool found = false;
  if (mapping) {
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping);
    int length = xcb_get_keyboard_mapping_keysyms_length(mapping);
    found = std::find(keysyms, keysyms + length, keysym) != keysyms + length;
  }
  std::free(mapping);
  xcb_disconnect(connection);
  return found;
}

// The names of the X server's master pointers.
std::vector<std::string> masterPointers() {
  std::vector<std::string> names;
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  xcb_input_xi_query_version_reply_t* version = xcb_input_xi_query_version_reply(
      connection, xcb_input_xi_query_version(connection, 2, 2), nullptr);
  xcb_input_xi_query_device_reply_t* devices = xcb_input_xi_query_device_reply(
      connection, xcb_input_xi_query_device(connection, 1 /* all masters */), nullptr);
  for (auto it = devices ? xcb_input_xi_query_device_infos_iterator(devices)
                         : xcb_input_xi_device_info_iterator_t{};
       it.rem; xcb_input_xi_device_info_next(&it)) {
    if (it.data->type == XCB_INPUT_DEVICE_TYPE_MASTER_POINTER) {
      names.emplace_back(xcb_input_xi_device_info_name(it.data),
                         static_cast<std::size_t>(xcb_input_xi_device_info_name_length(it.data)));
    }
  }
  std::free(devices);
  std::free(version);
  xcb_disconnect(connection);
  return names;
}

// The nodes with this role whose title or value is `text`.
std::vector<Json> nodesShowing(const Json& observed, const std::string& role,
                               const std::string& text) {
  return nodesWhere(observed["tree"], [&](const Json& n) {
    return n.value("role", "") == role &&
           (n.value("title", "") == text || n.value("value", Json()) == text);
  });
}

Json observeUntil(Bridge& bridge, const std::function<bool(const Json&)>& done) {
  return desktoptest::observeUntil(bridge, kFixture, done);
}

// The one node with this role whose title or value is `text`.
Json node(const Json& observed, const std::string& role, const std::string& text) {
  std::vector<Json> found = nodesShowing(observed, role, text);
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

// The one node with this role whose title or value is `text`, once an observation shows it.
Json nodeOnceShown(Bridge& bridge, const std::string& role, const std::string& text) {
  return node(observeUntil(bridge,
                           [&](const Json& observed) {
                             return nodesShowing(observed, role, text).size() == 1;
                           }),
              role, text);
}

TEST(InputEndToEnd, ClicksAndDoubleClicksPressTheButton) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  Json clicked = act(bridge, observed,
                     Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}));
  ASSERT_TRUE(clicked.contains("result")) << clicked.dump();
  EXPECT_EQ(clicked["result"]["actions"][0]["status"], "dispatched");

  nodeOnceShown(bridge, "AXStaticText", "Clicks: 1");
  observed = observe(bridge);
  Json doubled = act(bridge, observed,
                     Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"),
                                          {{"clickCount", 2}})}));
  ASSERT_TRUE(doubled.contains("result")) << doubled.dump();
  nodeOnceShown(bridge, "AXStaticText", "Clicks: 3");
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
  nodeOnceShown(bridge, "AXTextField", text);

  // command stands for Control: select all again, then replace with an upper-case text that
  // needs Shift, and a line break that the entry ignores.
  observed = observe(bridge);
  typed = act(bridge, observed,
              Json::array({Json{{"type", "key"}, {"key", "A"}, {"modifiers", {"command"}}},
                           Json{{"type", "type"}, {"text", "HELLO World"}},
                           Json{{"type", "key"}, {"key", "left"}, {"modifiers", {"shift"}}},
                           Json{{"type", "type"}, {"text", "D"}}}));
  ASSERT_TRUE(typed.contains("result")) << typed.dump();
  nodeOnceShown(bridge, "AXTextField", "HELLO WorlD");

  // The Fn key (63) has no key on a PC keyboard.
  Json fn = act(bridge, observe(bridge), Json::array({Json{{"type", "key"}, {"key", 63}}}));
  EXPECT_EQ(errorCode(fn), "inputUnavailable") << fn.dump();
  EXPECT_EQ(fn["error"]["message"], "Could not create keyboard event");

  // Æ is on no key of the US keyboard: it was typed through a spare key, which is empty again
  // once the bridge has ended.
  EXPECT_TRUE(keymapHas(0xc6));
  EXPECT_EQ(bridge.finish(), 0);
  EXPECT_FALSE(keymapHas(0xc6));
}

TEST(InputEndToEnd, ScrollsTheListByWheelNotches) {
  auto fixture = desktoptest::startFixture({"--rows", "200"});
  Bridge bridge;
  Json observed = observe(bridge);
  EXPECT_EQ(firstPlacedRow(observed), 1);
  Json scroll = clickAt(observed, node(observed, "AXCell", "Row 3"));
  scroll["type"] = "scroll";
  scroll["deltaX"] = 0;
  scroll["deltaY"] = -400;  // down, as the wheel moved towards the user
  Json scrolled = act(bridge, observed, Json::array({scroll}));
  ASSERT_TRUE(scrolled.contains("result")) << scrolled.dump();
  // Ten notches move the list by several rows.
  EXPECT_GT(
      firstPlacedRow(observeUntil(bridge, [](const Json& o) { return firstPlacedRow(o) > 5; })), 5);
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
  nodeOnceShown(bridge, "AXTextField", "Ada!");
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

  nodeOnceShown(bridge, "AXStaticText", "Clicks: 2");
  observed = observe(bridge);
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
  nodeOnceShown(bridge, "AXStaticText", "Clicks: 2");
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
  nodeOnceShown(bridge, "AXStaticText", "Clicks: 1");
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
  observeUntil(bridge, [](const Json& o) {
    std::string seen = nameText(o);
    return seen != "Ada" && !seen.empty();
  });
  ASSERT_TRUE(bridge.request("operation.cancel", {{"operationId", "typing"}}).contains("result"));
  Json cancelled = bridge.response(id);
  EXPECT_EQ(errorCode(cancelled), "cancelled") << cancelled.dump();
  EXPECT_EQ(cancelled["error"]["details"]["failedIndex"], 2);
  std::string typed = nameText(observe(bridge));
  EXPECT_FALSE(typed.empty());
  EXPECT_LT(typed.size(), text.size());
  EXPECT_EQ(text.substr(0, typed.size()), typed);
}

// The bridge sends through the core devices, as every other program does, so that the window
// manager handles the focus of its clicks as it handles the user's: it adds no device of its own,
// and a killed bridge leaves none behind.
TEST(InputEndToEnd, SendsThroughTheCoreDevicesAndLeavesNoneBehind) {
  auto fixture = desktoptest::startFixture();
  const std::vector<std::string> core = {"Virtual core pointer"};
  {
    Bridge bridge;
    Json observed = observe(bridge);
    ASSERT_TRUE(act(bridge, observed,
                    Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}))
                    .contains("result"));
    EXPECT_EQ(masterPointers(), core);
    kill(bridge.pid(), SIGKILL);
  }
  EXPECT_EQ(masterPointers(), core);
  Bridge bridge;
  Json observed = observe(bridge);
  ASSERT_TRUE(act(bridge, observed,
                  Json::array({clickAt(observed, node(observed, "AXButton", "Count Click"))}))
                  .contains("result"));
  nodeOnceShown(bridge, "AXStaticText", "Clicks: 2");
  EXPECT_EQ(bridge.finish(), 0);
  EXPECT_EQ(masterPointers(), core);
}

TEST(InputEndToEnd, DrivesAMenuOpenedByItsOwnClickWithKeys) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observe(bridge);
  // The toolkit grabs the keyboard that goes with the pointer that opened the menu: the core one,
  // which the bridge types with too.
  Json chosen = act(bridge, observed,
                    Json::array({clickAt(observed, node(observed, "AXMenuBarItem", "File")),
                                 Json{{"type", "key"}, {"key", "down"}},
                                 Json{{"type", "key"}, {"key", "return"}}}));
  ASSERT_TRUE(chosen.contains("result")) << chosen.dump();
  EXPECT_EQ(observeUntil(bridge, [](const Json& o) { return o["windows"].size() >= 2; })["windows"]
                .size(),
            2u);
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
