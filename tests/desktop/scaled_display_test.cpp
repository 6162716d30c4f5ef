// Applications drawn at a scale of 2: the bridge speaks in one coordinate space, so element
// frames, the window's frame, clicks at an element's centre, the one-point stale check, a
// capture and "imagePixels" clicks all agree, whatever pixels the toolkit counts in.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::nodesWhere;
using desktoptest::Program;
using desktoptest::result;

// A control of a row: the first node of this role that has a frame and, when a title is
// given, that title.
struct Control {
  std::string role;
  std::string title;
};

struct ScaledCase {
  const char* name;
  std::vector<std::string> command;
  std::vector<std::string> environment;
  // What is clicked, and the node whose value shows the click (the clicked one when its role is
  // empty: a check box's value).
  Control clicked = {"AXCheckBox", ""};
  Control shows = {};
};

Json observe(Bridge& bridge, const std::string& bundle) {
  return result(bridge.request("app.observe", {{"bundleId", bundle}, {"maxNodes", 2000}}));
}

// The first node of the control's role with a frame (and its title, when the control names one).
Json find(const Json& observed, const Control& control) {
  std::vector<Json> found = nodesWhere(observed["tree"], [&](const Json& node) {
    return node.value("role", "") == control.role && node.contains("frame") &&
           (control.title.empty() || node.value("title", "") == control.title) &&
           node["frame"]["width"].get<double>() > 0;
  });
  return found.empty() ? Json() : found.front();
}

// What the row's application shows of its clicks; null while it shows nothing.
Json shown(const Json& observed, const ScaledCase& row) {
  Json node = find(observed, row.shows.role.empty() ? row.clicked : row.shows);
  return node.is_object() ? node.value("value", Json()) : Json();
}

// Observes until the application shows something other than `before`; what it shows then.
Json changedFrom(Bridge& bridge, const std::string& bundle, const ScaledCase& row,
                 const Json& before) {
  auto changed = [&](const Json& now) { return !now.is_null() && now != before; };
  return desktoptest::waitUntil([&] { return shown(observe(bridge, bundle), row); }, changed);
}

double centre(const Json& frame, const char* origin, const char* extent) {
  return frame[origin].get<double>() + frame[extent].get<double>() / 2;
}

Json click(const Json& observation, const std::string& bundle, double x, double y,
           const char* space) {
  Json action = {{"type", "click"}, {"x", x}, {"y", y}, {"coordinateSpace", space}};
  return Json{{"bundleId", bundle},
              {"observationId", observation["observationId"]},
              {"actions", Json::array({action})}};
}

// Width and height from a PNG's header.
std::pair<long, long> pngSize(const std::string& path) {
  std::ifstream png(path, std::ios::binary);
  unsigned char header[24] = {};
  png.read(reinterpret_cast<char*>(header), sizeof header);
  auto bigEndian = [&](int at) {
    return long{header[at]} << 24 | long{header[at + 1]} << 16 | long{header[at + 2]} << 8 |
           long{header[at + 3]};
  };
  return {bigEndian(16), bigEndian(20)};
}

// Files of the session, which removes them when it ends.
std::string sessionFile(const std::string& name) {
  const char* directory = std::getenv("XDG_RUNTIME_DIR");
  return std::string(directory ? directory : "/tmp") + "/" + name;
}

// A page for the browser: one check box, well inside the window.
const std::string kPage = sessionFile("qor-scaled.html");

class ScaledDisplayTest : public ::testing::TestWithParam<ScaledCase> {};

TEST_P(ScaledDisplayTest, FramesClicksAndCapturesShareOneCoordinateSpace) {
  std::ofstream(kPage) << "<!doctype html><title>Scaled</title><body style='margin:40px'>"
                          "<label><input type=checkbox> Remember me</label></body>";
  const ScaledCase& row = GetParam();
  auto app = desktoptest::startStock(row.command, row.environment);
  std::vector<unsigned long> windows = desktoptest::windowsOf(app->pid());
  ASSERT_FALSE(windows.empty());
  // Drawn at twice the size, the window must start near the corner to stay on the screen; not
  // at it, so that an offset counted in the wrong pixels shows.
  const std::string xid = std::to_string(windows[0]);
  desktoptest::run({"xdotool", "windowmove", "--sync", xid, "20", "20"});
  // A toolkit may keep a larger minimum; xdotool then waits for a change that never comes.
  desktoptest::run({"timeout", "5", "xdotool", "windowsize", "--sync", xid, "1200", "900"});
  Bridge bridge;
  const std::string bundle = desktoptest::bundleIdOf(bridge, app->pid());
  ASSERT_NE(bundle, "");

  // A browser lays its page out a moment after its window shows, and the window manager moves
  // and sizes the window in its own time: the test goes on once the control shows and the
  // window's frame is the same in two observations in a row.
  Json previousFrame;
  Json observed = desktoptest::waitUntil(
      [&] { return observe(bridge, bundle); },
      [&](const Json& o) {
        const bool still = desktoptest::windowFrame(o) == previousFrame;
        previousFrame = desktoptest::windowFrame(o);
        return still && find(o, row.clicked).is_object() && !shown(o, row).is_null();
      });
  ASSERT_FALSE(observed["windows"].empty()) << observed.dump();
  const Json window = observed["windows"][0]["frame"];
  const Json& root = observed["tree"][0];
  ASSERT_TRUE(root.contains("frame")) << root.dump();
  for (const char* edge : {"x", "y", "width", "height"}) {
    EXPECT_NEAR(root["frame"][edge].get<double>(), window[edge].get<double>(), 1.0) << edge;
  }
  Json box = find(observed, row.clicked);
  ASSERT_TRUE(box.is_object()) << "no " << row.clicked.role << " with a frame";
  const Json before = shown(observed, row);
  const double x = centre(box["frame"], "x", "width") - window["x"].get<double>();
  const double y = centre(box["frame"], "y", "height") - window["y"].get<double>();
  ASSERT_GT(x, 0);
  ASSERT_GT(y, 0);
  ASSERT_LT(x, window["width"].get<double>()) << "the element lies inside its window";
  ASSERT_LT(y, window["height"].get<double>());

  // A click at the centre: the observation is not stale, and the click lands on the control.
  result(bridge.request("app.act", click(observed, bundle, x, y, "windowPoints")));
  const Json clickedOnce = changedFrom(bridge, bundle, row, before);
  EXPECT_NE(clickedOnce, before);

  // The store keeps the 32 observations that expire last, and a capture's expires first: the
  // observations of the waits above must not push it out.
  result(bridge.request("operations.cancelAll"));
  Json captured = result(bridge.request("window.capture", {{"bundleId", bundle}}));
  const double scaleX = captured.value("scaleX", 0.0);
  const double scaleY = captured.value("scaleY", 0.0);
  const auto [width, height] = pngSize(captured.value("path", ""));
  EXPECT_EQ(width, std::lround(captured["frame"]["width"].get<double>() * scaleX));
  EXPECT_EQ(height, std::lround(captured["frame"]["height"].get<double>() * scaleY));
  EXPECT_EQ(captured["frame"], observed["windows"][0]["frame"]);

  // The same point in the capture's pixels clicks the control again.
  result(bridge.request("app.act", click(captured, bundle, x * scaleX, y * scaleY, "imagePixels")));
  EXPECT_NE(changedFrom(bridge, bundle, row, clickedOnce), clickedOnce);
  result(bridge.request("capture.release", {{"path", captured["path"]}}));
}

std::vector<ScaledCase> scaledCases() {
  return {
      {"Gtk3", {desktoptest::fixtureBinary()}, {"GDK_SCALE=2"}},
      {"Gtk4",
       {"gnome-calculator"},
       {"GDK_SCALE=2"},
       {"AXButton", "1 1"},
       {"AXTextArea", "GtkSourceView"}},
      {"Qt5", {"featherpad"}, {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "QT_SCALE_FACTOR=2"}},
      {"Chromium",
       {"chromium", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + sessionFile("qor-scaled-chromium"), "--force-renderer-accessibility",
        "--force-device-scale-factor=2", "--window-size=500,400", "file://" + kPage},
       {}},
  };
}

void PrintTo(const ScaledCase& row, std::ostream* out) {
  *out << row.name;
}

INSTANTIATE_TEST_SUITE_P(Toolkits, ScaledDisplayTest, ::testing::ValuesIn(scaledCases()),
                         [](const auto& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace qor
