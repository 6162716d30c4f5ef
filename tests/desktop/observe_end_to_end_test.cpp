// "app.observe", validation and "window.capture" of the product executable, through its pipes,
// against the fixture and stock applications in a private desktop session.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <set>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::allNodes;
using desktoptest::Bridge;
using desktoptest::errorCode;
using desktoptest::nodesWhere;
using desktoptest::Program;
using desktoptest::result;
using desktoptest::windowFrame;

bool hasRole(const Json& node, const std::string& role) {
  return node.value("role", "") == role;
}

Json observe(Bridge& bridge, Json params) {
  return bridge.request("app.observe", params);
}

// Asks the window manager to put a window's frame (and so the client area within) at (x, y).
// xdotool --sync gives up waiting on a busy machine, so callers wait until an observation shows
// the window where it was asked to be.
void moveWindow(unsigned long window, int x, int y) {
  desktoptest::run({"xdotool", "windowmove", "--sync", std::to_string(window), std::to_string(x),
                    std::to_string(y)});
}

double frameX(const Json& observed) {
  return windowFrame(observed).value("x", -1.0);
}

Json waitAction() {
  return Json::array({Json{{"type", "wait"}, {"milliseconds", 0}}});
}

TEST(ObserveEndToEnd, DescribesTheFixtureWindowWithItsMenuBarAsLastRoot) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = result(observe(bridge, {{"bundleId", "dev.qor.Fixture"}}));
  EXPECT_EQ(observed["pid"], fixture->pid());
  ASSERT_EQ(observed["windows"].size(), 1u);
  const Json& window = observed["windows"][0];
  EXPECT_EQ(window["title"], "Qor Fixture Main");
  EXPECT_EQ(observed["windowId"], window["windowId"]);

  const Json& tree = observed["tree"];
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree[0]["role"], "AXWindow");
  EXPECT_EQ(tree[0]["title"], "Qor Fixture Main");
  EXPECT_EQ(tree[0]["frame"], window["frame"]);  // client area on both sides
  EXPECT_EQ(tree[1]["role"], "AXMenuBar");
  std::vector<std::string> menus;
  for (const Json& menu : tree[1]["children"]) {
    EXPECT_EQ(menu["role"], "AXMenuBarItem");
    menus.push_back(menu.value("title", ""));
  }
  EXPECT_EQ(menus, (std::vector<std::string>{"File", "Edit", "Help"}));
  EXPECT_TRUE(nodesWhere(Json::array({tree[0]}), [](const Json& n) {
                return hasRole(n, "AXMenuBar");
              }).empty());

  std::vector<Json> secure = nodesWhere(tree, [](const Json& n) { return n.contains("secure"); });
  ASSERT_EQ(secure.size(), 1u);
  EXPECT_EQ(secure[0]["role"], "AXTextField");
  EXPECT_FALSE(secure[0].contains("value"));
  EXPECT_EQ(
      nodesWhere(tree, [](const Json& n) { return n.value("value", Json()) == "Ada"; }).size(), 1u);
  std::vector<Json> button = nodesWhere(tree, [](const Json& n) {
    return hasRole(n, "AXButton") && n.value("title", "") == "Count Click";
  });
  ASSERT_EQ(button.size(), 1u);
  EXPECT_EQ(button[0]["actions"], Json::array({"AXPress"}));
  EXPECT_EQ(button[0]["enabled"], true);
  EXPECT_TRUE(button[0].contains("frame"));
  EXPECT_EQ(nodesWhere(tree, [](const Json& n) { return hasRole(n, "AXTextArea"); }).size(), 1u);
  EXPECT_EQ(nodesWhere(tree, [](const Json& n) { return hasRole(n, "AXCell"); }).size(), 20u);

  EXPECT_EQ(observed["nodeCount"], allNodes(tree).size());
  EXPECT_EQ(observed["truncated"], false);
}

TEST(ObserveEndToEnd, DescribesTheWidgetFactory) {
  auto factory = desktoptest::startStock({"gtk3-widget-factory"});
  Bridge bridge;
  Json observed =
      result(observe(bridge, {{"bundleId", "gtk3-widget-factory"}, {"maxNodes", 2000}}));
  EXPECT_EQ(observed["pid"], factory->pid());
  ASSERT_EQ(observed["tree"].size(), 1u);  // no menu bar
  EXPECT_EQ(observed["tree"][0]["role"], "AXWindow");
  EXPECT_EQ(observed["tree"][0]["frame"], observed["windows"][0]["frame"]);
  std::set<std::string> roles;
  std::set<std::string> titles;
  for (const Json& node : allNodes(observed["tree"])) {
    roles.insert(node["role"].get<std::string>());
    titles.insert(node.value("title", ""));
  }
  for (const char* role : {"AXButton", "AXCheckBox", "AXRadioButton", "AXTextField", "AXSlider",
                           "AXTabGroup", "AXProgressIndicator", "AXComboBox", "AXScrollBar"}) {
    EXPECT_TRUE(roles.count(role)) << role;
  }
  for (const char* title : {"checkbutton", "radiobutton", "togglebutton", "Page 1"}) {
    EXPECT_TRUE(titles.count(title)) << title;
  }
  EXPECT_EQ(observed["truncated"], false);
}

TEST(ObserveEndToEnd, TruncatesAtTheElementAndDepthBudgets) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json one = result(observe(bridge, {{"bundleId", "dev.qor.Fixture"}, {"maxNodes", 1}}));
  ASSERT_EQ(one["tree"].size(), 1u);
  EXPECT_EQ(one["tree"][0]["ref"], "e1");
  EXPECT_EQ(one["tree"][0]["role"], "AXWindow");
  EXPECT_FALSE(one["tree"][0].contains("children"));
  EXPECT_EQ(one["nodeCount"], 1);
  EXPECT_EQ(one["truncated"], true);

  Json shallow = result(observe(bridge, {{"bundleId", "dev.qor.Fixture"}, {"maxDepth", 1}}));
  for (const Json& root : shallow["tree"]) {
    for (const Json& child : root.value("children", Json::array())) {
      EXPECT_FALSE(child.contains("children"));
    }
  }
  EXPECT_EQ(shallow["tree"].back()["role"], "AXMenuBar");
  EXPECT_EQ(shallow["truncated"], true);
  EXPECT_EQ(errorCode(observe(bridge, {{"bundleId", "dev.qor.Fixture"}, {"maxNodes", 2001}})),
            "invalidArgument");
}

TEST(ObserveEndToEnd, SendsAWindowWithoutAccessibilityTreeToCapture) {
  auto xterm = desktoptest::startStock({"xterm", "-geometry", "80x20"});
  std::vector<unsigned long> windows = desktoptest::windowsOf(xterm->pid());
  ASSERT_EQ(windows.size(), 1u);
  Bridge bridge;
  Json refused = observe(bridge, {{"bundleId", "debian-xterm"}, {"windowId", windows[0]}});
  EXPECT_EQ(errorCode(refused), "accessibilityUnavailable");
  EXPECT_EQ(refused["error"]["message"],
            "Window exists but does not expose a matching Accessibility tree; use window.capture");

  Json captured = result(
      bridge.request("window.capture", {{"bundleId", "debian-xterm"}, {"windowId", windows[0]}}));
  std::string path = captured.value("path", "");
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  std::ifstream png(path, std::ios::binary);
  unsigned char header[24] = {};
  png.read(reinterpret_cast<char*>(header), sizeof header);
  auto bigEndian = [&](int at) {
    return header[at] << 24 | header[at + 1] << 16 | header[at + 2] << 8 | header[at + 3];
  };
  EXPECT_EQ(bigEndian(16), captured["frame"]["width"].get<double>());
  EXPECT_EQ(bigEndian(20), captured["frame"]["height"].get<double>());
  EXPECT_EQ(captured["width"], bigEndian(16));
  EXPECT_EQ(captured["scaleX"], 1.0);

  EXPECT_EQ(result(bridge.request("capture.release", {{"path", path}}))["released"], true);
  EXPECT_NE(stat(path.c_str(), &info), 0);
}

TEST(ObserveEndToEnd, GoesStaleWhenTheWindowMovesTwoPointsButNotOne) {
  auto fixture = desktoptest::startFixture();
  std::vector<unsigned long> windows = desktoptest::windowsOf(fixture->pid());
  ASSERT_EQ(windows.size(), 1u);
  Bridge bridge;
  const Json fixtureOnly = {{"bundleId", "dev.qor.Fixture"}};
  // Each observation used below shows the window where the test last asked for it.
  auto observeAt = [&](double x) {
    Json observed = desktoptest::observeUntil(bridge, fixtureOnly,
                                              [&](const Json& o) { return frameX(o) == x; });
    EXPECT_EQ(frameX(observed), x) << observed["windows"].dump();
    return observed;
  };
  auto act = [&](const Json& observed) {
    return bridge.request("app.act", {{"bundleId", "dev.qor.Fixture"},
                                      {"observationId", observed["observationId"]},
                                      {"actions", waitAction()}});
  };
  const double placed = frameX(result(observe(bridge, fixtureOnly)));
  moveWindow(windows[0], 100, 100);
  Json first = desktoptest::observeUntil(bridge, fixtureOnly,
                                         [&](const Json& o) { return frameX(o) != placed; });
  ASSERT_FALSE(HasFailure());
  const double origin = frameX(first);

  moveWindow(windows[0], 101, 100);
  Json second = observeAt(origin + 1);
  EXPECT_TRUE(act(first).contains("result"));

  moveWindow(windows[0], 103, 100);
  observeAt(origin + 3);
  Json stale = act(second);
  EXPECT_EQ(errorCode(stale), "staleObservation") << stale.dump() << second["windows"].dump();
  EXPECT_EQ(stale["error"]["message"],
            "The selected window moved, resized or closed; observe again");
}

TEST(ObserveEndToEnd, TellsTwoInstancesApartByLaunchOrder) {
  auto first = desktoptest::startFixture({"--title", "First"});
  auto second = desktoptest::startFixture({"--title", "Second", "--new-instance"});
  Bridge bridge;
  Json observed = result(observe(bridge, {{"bundleId", "dev.qor.Fixture"}}));
  EXPECT_EQ(observed["pid"], first->pid());
  EXPECT_EQ(observed["tree"][0]["title"], "First");
  first.reset();  // ends the first instance; the bridge learns of it in its own time
  observed = desktoptest::observeUntil(bridge, "dev.qor.Fixture", [&](const Json& o) {
    return o.value("pid", Json()) == Json(second->pid());
  });
  EXPECT_EQ(observed["pid"], second->pid());
  EXPECT_EQ(observed["tree"][0]["title"], "Second");
}

}  // namespace
}  // namespace qor
