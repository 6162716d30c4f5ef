// "window.capture" and "capture.release" on the simulated desktop: which window is taken, the
// private PNG file and its registration, the capture observation behind "imagePixels" clicks, and
// every way a capture stops before anything is left behind.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "bridge/support/harness.h"
#include "bridge/support/png_image.h"
#include "core/identifiers.h"
#include "core/window_geometry.h"

namespace qor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using sim::AsyncCall;

constexpr desktop::Pid kPid = 100;
constexpr desktop::Pid kOtherPid = 200;
constexpr const char* kEditor = "com.example.editor";
// The editor's windows: 10 in front (on a Retina-like display), 11 behind it, 12 minimised,
// 13 a floating panel; 20 belongs to another application.
constexpr Frame kFrame{100, 100, 800, 600};
constexpr Frame kSecondFrame{300, 300, 400, 300};

class CaptureTest : public ::testing::Test {
 protected:
  CaptureTest() {
    sim::SimApplication& editor = h.desktop.addApplication(kPid, kEditor);
    window = sim::element("AXWindow")->title("Untitled")->frame(kFrame);
    secondWindow = sim::element("AXWindow")->title("Second")->frame(kSecondFrame);
    editor.element->windows({window, secondWindow})->focusedWindow(window);
    sim::SimWindow& front = h.desktop.addWindow(10, kPid, kFrame, "Untitled");
    front.element = window;
    front.pointPixelScale = 2.0;
    front.fill = {0x11, 0x22, 0x33, 0xFF};
    h.desktop.addWindow(11, kPid, kSecondFrame, "Second").element = secondWindow;
    h.desktop.addWindow(12, kPid, Frame{0, 0, 300, 200}, "Minimised").onScreen = false;
    h.desktop.addWindow(13, kPid, Frame{20, 20, 200, 400}, "Inspector").layer = 3;
    h.desktop.addApplication(kOtherPid, "com.example.other");
    h.desktop.addWindow(20, kOtherPid, Frame{0, 0, 1000, 800}, "Elsewhere");
    h.desktop.frontmostPid = kPid;
  }

  void start(const Json& requestId, const Json& extra = Json::object()) {
    Json params{{"bundleId", kEditor}};
    params.update(extra);
    h.request(requestId, "window.capture", params);
  }

  Json capture(const Json& extra = Json::object()) {
    start(++id, extra);
    return h.responseFor(id);
  }

  Json captured(const Json& extra = Json::object()) {
    Json response = capture(extra);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"];
  }

  Json call(const std::string& method, const Json& params) {
    h.request(++id, method, params);
    return h.responseFor(id);
  }

  Json clickInImage(const std::string& observationId, double x, double y) {
    Json click{{"type", "click"}, {"x", x}, {"y", y}, {"coordinateSpace", "imagePixels"}};
    h.request(++id, "app.act",
              {{"bundleId", kEditor},
               {"observationId", observationId},
               {"actions", Json::array({click})}});
    h.drain();
    return h.responseFor(id);
  }

  static void expectFailure(const Json& response, const std::string& code,
                            const std::string& message, const Json& details = Json::object()) {
    ASSERT_TRUE(response.contains("error")) << response.dump();
    EXPECT_EQ(response["error"],
              (Json{{"code", code}, {"message", message}, {"details", details}}));
  }

  // Nothing of a failed capture remains: no file, no registration, no observation.
  void expectNothingLeft() {
    EXPECT_TRUE(fs::is_empty(h.runtime.captures().directory()));
    EXPECT_TRUE(h.runtime.captures().empty());
    EXPECT_TRUE(h.runtime.observations().empty());
  }

  static void expectPixelSize(const Observation& observation, double width, double height) {
    ASSERT_TRUE(observation.pixelSize.has_value());
    EXPECT_EQ(observation.pixelSize->width, width);
    EXPECT_EQ(observation.pixelSize->height, height);
  }

  static unsigned modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  testing::Harness h;
  sim::SimElement::Ptr window;
  sim::SimElement::Ptr secondWindow;
  int id = 0;
};

TEST_F(CaptureTest, WritesThePreferredWindowToAPrivatePngAndStoresAShortObservation) {
  // The focused window is preferred over the frontmost one.
  h.desktop.application(kPid).element->focusedWindow(secondWindow);
  h.desktop.window(11).pointPixelScale = 2.0;
  const auto expiry =
      std::chrono::floor<std::chrono::seconds>((h.clock.wallNow() + 30s).time_since_epoch());
  Json result = captured();

  const std::string observationId = result["observationId"];
  EXPECT_TRUE(std::regex_match(
      observationId,
      std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")));
  const fs::path file = h.runtime.captures().directory() / (observationId + ".png");
  EXPECT_TRUE(file.is_absolute());
  EXPECT_EQ(result,
            (Json{{"observationId", observationId},
                  {"bundleId", kEditor},
                  {"pid", kPid},
                  {"windowId", 11},
                  {"path", file.string()},
                  {"mimeType", "image/png"},
                  {"frame", {{"x", 300.0}, {"y", 300.0}, {"width", 400.0}, {"height", 300.0}}},
                  {"width", 800},
                  {"height", 600},
                  {"scaleX", 2.0},
                  {"scaleY", 2.0},
                  {"expiresAt", ids::iso8601UTC(expiry.count())}}));
  ASSERT_EQ(h.desktop.log.captures.size(), 1u);
  EXPECT_EQ(h.desktop.log.captures[0].windowNumber, 11u);

  EXPECT_EQ(modeOf(h.runtime.captures().directory()), 0700u);
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(h.runtime.captures().size(), 1u);
  EXPECT_TRUE(h.runtime.captures().owns(file.string()));
  std::optional<RgbaImage> png = testing::readPng(file);
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 800u);
  EXPECT_EQ(png->height, 600u);

  ASSERT_TRUE(h.runtime.observations().contains(observationId));
  const Observation& observation = h.runtime.observations().at(observationId);
  EXPECT_EQ(observation.bundleID, kEditor);
  EXPECT_EQ(observation.pid, kPid);
  EXPECT_EQ(observation.launchDate, h.desktop.application(kPid).launchDate);
  EXPECT_EQ(observation.windowID, 11u);
  ASSERT_TRUE(observation.frame.has_value());
  EXPECT_EQ(WindowGeometry::json(*observation.frame), WindowGeometry::json(kSecondFrame));
  expectPixelSize(observation, 800, 600);
  EXPECT_EQ(observation.expires, h.clock.wallNow() + 30s);
  EXPECT_TRUE(observation.elements.empty());
}

TEST_F(CaptureTest, ThePngHoldsTheWindowImageAtTheDisplayScale) {
  Json result = captured();
  EXPECT_EQ(result["windowId"], 10);
  EXPECT_EQ(result["width"], 1600);
  EXPECT_EQ(result["height"], 1200);
  EXPECT_EQ(result["scaleX"], 2.0);
  EXPECT_EQ(result["scaleY"], 2.0);
  ASSERT_EQ(h.desktop.log.captures.size(), 1u);
  EXPECT_EQ(h.desktop.log.captures[0].width, 1600u);
  EXPECT_EQ(h.desktop.log.captures[0].height, 1200u);
  std::optional<RgbaImage> png = testing::readPng(result["path"].get<std::string>());
  ASSERT_TRUE(png.has_value());
  EXPECT_EQ(png->width, 1600u);
  EXPECT_EQ(png->height, 1200u);
  EXPECT_EQ(std::vector<std::uint8_t>(png->rgba.end() - 4, png->rgba.end()),
            (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0xFF}));
}

TEST_F(CaptureTest, WithoutScreenRecordingNothingIsListedAskedOrWritten) {
  h.desktop.screenCaptureGranted = false;
  expectFailure(capture(), "missingPermission", "macOS Screen Recording access is required",
                Json{{"permission", "screenCapture"}});
  EXPECT_FALSE(h.desktop.log.called("shareableWindows"));
  EXPECT_FALSE(h.desktop.log.called("captureWindow"));
  EXPECT_EQ(h.desktop.log.screenCapturePrompts, 0);
  expectNothingLeft();
  // The target rule comes first.
  expectFailure(call("window.capture", {{"bundleId", "com.example.absent"}}),
                "applicationNotRunning", "The selected application is not running",
                Json{{"bundleId", "com.example.absent"}});
}

TEST_F(CaptureTest, AWindowIdMustNameAnOnScreenNormalWindowOfTheTarget) {
  const std::string unavailable = "Selected application has no available on-screen window";
  for (int other : {20, 12, 13, 99}) {  // another application's, minimised, a panel, unknown
    expectFailure(capture({{"windowId", other}}), "windowUnavailable", unavailable);
  }
  EXPECT_TRUE(h.desktop.log.captures.empty());
  expectNothingLeft();

  // Read after the listing, with the shared window-number rule.
  expectFailure(capture({{"windowId", 0}}), "invalidArgument", "Integer outside 1...4294967295");
  EXPECT_EQ(std::ranges::count(h.desktop.log.calls, "shareableWindows"), 5);

  EXPECT_EQ(captured({{"windowId", 11}})["windowId"], 11);
  EXPECT_EQ(captured({{"windowId", nullptr}})["windowId"], 10);

  h.desktop.removeWindow(10);
  h.desktop.removeWindow(11);
  expectFailure(capture(), "windowUnavailable", unavailable);
}

TEST_F(CaptureTest, FallsBackToTheFirstCandidateWhenThePreferredRecordIsNotShareable) {
  // The application does not answer Accessibility requests, so its frontmost record is
  // preferred; here that record has no bounds, so the capture service does not list it.
  h.desktop.application(kPid).answersAccessibility = false;
  sim::SimWindow unlisted;
  unlisted.number = 5;
  unlisted.ownerPID = kPid;
  h.desktop.windows.insert(h.desktop.windows.begin(), unlisted);
  EXPECT_EQ(captured()["windowId"], 10);

  // A frontmost record whose number is not a window number at all.
  constexpr std::int64_t kNotAWindowNumber = std::int64_t{1} << 40;
  h.desktop.windows.front().number = kNotAWindowNumber;
  h.desktop.windows.front().bounds = kSecondFrame;
  h.desktop.bringToFront(11);
  h.desktop.bringToFront(kNotAWindowNumber);  // the odd record first, then 11, then 10
  EXPECT_EQ(captured()["windowId"], 11);
}

TEST_F(CaptureTest, AWindowThatChangesDuringTheScreenshotLeavesNothingBehind) {
  h.desktop.capturePlan.hold = true;
  auto moveDuringScreenshot = [&](const std::function<void(sim::SimWindow&)>& change) {
    start(++id);
    EXPECT_EQ(h.desktop.heldCount(AsyncCall::captureWindow), 1u);
    change(h.desktop.window(10));
    h.desktop.release(AsyncCall::captureWindow);
    h.settle();
    return h.responseFor(id);
  };
  const std::string changed = "Window changed while capturing; capture again";
  expectFailure(moveDuringScreenshot([](sim::SimWindow& w) { w.moveBy(1.5, 0); }),
                "staleObservation", changed);
  expectFailure(moveDuringScreenshot([](sim::SimWindow& w) {
                  w.setFrame(Frame{100, 100, 802, 600});
                }),
                "staleObservation", changed);
  // Moved to another layer: it is no longer among the application's window records.
  expectFailure(moveDuringScreenshot([](sim::SimWindow& w) { w.layer = 1; }), "staleObservation",
                changed);
  expectNothingLeft();

  // Within one point it is the same window.
  h.desktop.window(10).layer = 0;
  h.desktop.window(10).setFrame(kFrame);
  Json within = moveDuringScreenshot([](sim::SimWindow& w) {
    w.setFrame(Frame{99, 101, 800, 601});
  });
  EXPECT_TRUE(within.contains("result")) << within.dump();
  EXPECT_EQ(within["result"]["frame"]["x"], 100.0);  // as the listing reported it
}

TEST_F(CaptureTest, CancellationIsNoticedAfterEachOfTheTwoWaits) {
  h.desktop.listingPlan.hold = true;
  start("listing");
  h.request("c1", "operation.cancel", {{"operationId", "listing"}});
  EXPECT_EQ(h.takeResponses().size(), 1u);  // only the cancel's own answer so far
  h.desktop.release(AsyncCall::shareableWindows);
  h.settle();
  expectFailure(h.responseFor("listing"), "cancelled", "Operation stopped");
  EXPECT_FALSE(h.desktop.log.called("captureWindow"));

  h.desktop.listingPlan.hold = false;
  h.desktop.capturePlan.hold = true;
  start("screenshot");
  EXPECT_EQ(h.desktop.heldCount(AsyncCall::captureWindow), 1u);
  h.request("c2", "operations.cancelAll", Json::object());
  h.desktop.release(AsyncCall::captureWindow);
  h.settle();
  expectFailure(h.responseFor("screenshot"), "cancelled", "Operation stopped");
  expectNothingLeft();
  EXPECT_TRUE(h.runtime.operations().empty());
}

TEST_F(CaptureTest, PlatformErrorsOfTheListingAndTheScreenshotEndTheRequest) {
  h.desktop.listingPlan.failure = desktop::PlatformError{"The user declined screen capture"};
  expectFailure(capture(), "operationFailed", "The user declined screen capture");
  h.desktop.listingPlan.failure.reset();
  h.desktop.capturePlan.failure = desktop::PlatformError{"Failed to start the screenshot"};
  expectFailure(capture(), "operationFailed", "Failed to start the screenshot");
  expectNothingLeft();
}

TEST_F(CaptureTest, TheImageSizeIsPointsTimesScaleRoundedHalvesUpAndAtLeastOnePixel) {
  h.desktop.window(10).setFrame(Frame{50, 50, 0, 0});
  Json empty = captured();
  EXPECT_EQ(empty["width"], 1);
  EXPECT_EQ(empty["height"], 1);
  // Without an extent there is no ratio to report; the scale the image was made with stands.
  EXPECT_EQ(empty["scaleX"], 2.0);
  EXPECT_EQ(empty["scaleY"], 2.0);
  expectPixelSize(h.runtime.observations().at(empty["observationId"]), 1, 1);

  h.desktop.window(10).setFrame(Frame{50, 50, 100.25, 0.2});
  Json halves = captured();
  EXPECT_EQ(halves["width"], 201);  // 200.5 rounds away from zero
  EXPECT_EQ(halves["height"], 1);   // 0.4 pixels still make one
  EXPECT_DOUBLE_EQ(halves["scaleX"].get<double>(), 201 / 100.25);
  EXPECT_DOUBLE_EQ(halves["scaleY"].get<double>(), 1 / 0.2);
  ASSERT_EQ(h.desktop.log.captures.size(), 2u);
  EXPECT_EQ(h.desktop.log.captures[0].width, 1u);
  EXPECT_EQ(h.desktop.log.captures[0].height, 1u);
}

TEST_F(CaptureTest, FilesThatCannotBeWrittenFailAndLeaveNothing) {
  // An image that does not hold its own pixel count cannot be encoded.
  h.desktop.window(10).image = desktop::Image{4, 4, std::vector<std::uint8_t>(10)};
  expectFailure(capture(), "captureFailed", "Could not save window capture");
  expectNothingLeft();

  h.desktop.window(10).image.reset();
  h.desktop.capturePlan.hold = true;
  start(++id);
  fs::remove(h.runtime.captures().directory());  // gone while the screenshot was taken
  h.desktop.release(AsyncCall::captureWindow);
  h.settle();
  expectFailure(h.responseFor(id), "captureFailed", "Could not create capture output");
  EXPECT_TRUE(h.runtime.captures().empty());
  EXPECT_TRUE(h.runtime.observations().empty());
}

TEST_F(CaptureTest, AnImagePixelClickLandsOnTheMatchingScreenPoint) {
  Json result = captured();
  Json response = clickInImage(result["observationId"], 1599, 1199);
  ASSERT_TRUE(response.contains("result")) << response.dump();
  ASSERT_EQ(h.desktop.log.events.size(), 2u);
  for (const sim::PostedEvent& posted : h.desktop.log.events) {
    EXPECT_EQ(posted.pid, kPid);
    const auto& mouse = std::get<desktop::MouseEvent>(posted.event);
    EXPECT_EQ(mouse.location.x, 100 + 799.5);
    EXPECT_EQ(mouse.location.y, 100 + 599.5);
  }
}

TEST_F(CaptureTest, TheCaptureObservationExpiresAfterThirtySecondsButTheFileStays) {
  Json early = captured();
  Json late = captured();
  h.advance(29s);
  EXPECT_TRUE(clickInImage(early["observationId"], 0, 0).contains("result"));
  h.advance(1s);
  expectFailure(clickInImage(late["observationId"], 0, 0), "staleObservation",
                "Observe the selected application again before acting");
  EXPECT_TRUE(fs::exists(late["path"].get<std::string>()));
  EXPECT_TRUE(h.runtime.captures().owns(late["path"]));
}

TEST_F(CaptureTest, ReleaseDeletesOnlyRegisteredCapturesAndOnlyOnce) {
  Json result = captured();
  const std::string path = result["path"];
  const std::string notOurs = "Path is not a capture created by this process";
  // The same file named differently is not the registered path.
  for (const std::string& other : {path + "/", fs::path(path).parent_path().string() + "//" +
                                                   fs::path(path).filename().string()}) {
    expectFailure(call("capture.release", {{"path", other}}), "invalidArgument", notOurs);
  }
  expectFailure(call("capture.release", {{"path", 5}}), "invalidArgument", "Missing string: path");

  EXPECT_EQ(call("capture.release", {{"path", path}})["result"], (Json{{"released", true}}));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_TRUE(h.runtime.captures().empty());
  // Releasing the file leaves the observation to its own lifetime.
  EXPECT_TRUE(h.runtime.observations().contains(result["observationId"]));
  expectFailure(call("capture.release", {{"path", path}}), "invalidArgument", notOurs);

  const fs::path foreign = h.runtime.captures().directory() / "ABCDEF.png";
  std::ofstream(foreign) << "not ours";
  expectFailure(call("capture.release", {{"path", foreign.string()}}), "invalidArgument", notOurs);
  EXPECT_TRUE(fs::exists(foreign));
}

TEST_F(CaptureTest, AReleaseThatCannotDeleteKeepsThePathRegistered) {
  const std::string path = captured()["path"];
  fs::remove(path);  // someone else deleted it
  Json response = call("capture.release", {{"path", path}});
  ASSERT_TRUE(response.contains("error")) << response.dump();
  EXPECT_EQ(response["error"]["code"], "operationFailed");
  EXPECT_TRUE(h.runtime.captures().owns(path));
}

}  // namespace
}  // namespace qor
