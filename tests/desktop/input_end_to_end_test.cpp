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

}  // namespace
}  // namespace qor
