// The X11 + AT-SPI2 backend read directly through the desktop interface, against the fixture
// and stock applications in a private session.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "desktop/desktop.h"
#include "desktop/support/desktop_support.h"
#include "platform/x11/x11_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor {
namespace {

using namespace desktop;
using desktoptest::Program;

bool near(const Frame& a, const Frame& b) {
  return std::fabs(a.x - b.x) <= 1 && std::fabs(a.y - b.y) <= 1 &&
         std::fabs(a.width - b.width) <= 1 && std::fabs(a.height - b.height) <= 1;
}

class X11Backend : public ::testing::Test {
 protected:
  void SetUp() override {
    desktop_ = platform::makeX11Desktop(loop_);
    ASSERT_NE(desktop_, nullptr);
  }
  void TearDown() override { loop_.runUntilIdle(); }

  std::string text(const ElementRef& element, const std::string& attribute) {
    AXRead read = desktop_->copyAttribute(element, attribute);
    const auto* value = std::get_if<std::string>(&read.value);
    return read.error == kAXSuccess && value ? *value : "";
  }
  std::vector<ElementRef> list(const ElementRef& element, const std::string& attribute) {
    AXRead read = desktop_->copyAttribute(element, attribute);
    const auto* value = std::get_if<std::vector<ElementRef>>(&read.value);
    return read.error == kAXSuccess && value ? *value : std::vector<ElementRef>{};
  }
  std::optional<Frame> frame(const ElementRef& element) {
    AXRead position = desktop_->copyAttribute(element, "AXPosition");
    AXRead size = desktop_->copyAttribute(element, "AXSize");
    const auto* p = std::get_if<Point>(&position.value);
    const auto* s = std::get_if<Size>(&size.value);
    if (!p || !s) {
      return std::nullopt;
    }
    return Frame{p->x, p->y, s->width, s->height};
  }
  // Depth first, pre-order, the first element for which `matches` holds.
  ElementRef find(const ElementRef& root, const std::function<bool(const ElementRef&)>& matches) {
    if (matches(root)) {
      return root;
    }
    for (const ElementRef& child : list(root, "AXChildren")) {
      if (ElementRef found = find(child, matches)) {
        return found;
      }
    }
    return nullptr;
  }
  ElementRef findRole(const ElementRef& root, const std::string& role,
                      const std::string& title = "") {
    return find(root, [&](const ElementRef& e) {
      return text(e, "AXRole") == role && (title.empty() || text(e, "AXTitle") == title);
    });
  }
  std::optional<WindowRecord> recordOf(pid_t pid) {
    for (const WindowRecord& record : desktop_->onScreenWindows()) {
      if (record.ownerPID == pid && record.layer == 0) {
        return record;
      }
    }
    return std::nullopt;
  }

  runtime::RealClock clock_;
  runtime::EventLoop loop_{clock_};
  std::unique_ptr<Desktop> desktop_;
};

TEST_F(X11Backend, ReportsTheFixtureAsARunningApplicationWithItsWindow) {
  auto fixture = desktoptest::startFixture();
  std::vector<RunningApplication> apps = desktop_->runningApplications("dev.qor.Fixture");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].pid, fixture->pid());
  EXPECT_TRUE(apps[0].launchDate.has_value());
  EXPECT_EQ(apps[0].activationPolicy, ActivationPolicy::regular);
  EXPECT_TRUE(apps[0].active);
  EXPECT_FALSE(desktop_->isTerminated(apps[0]));
  ASSERT_TRUE(desktop_->frontmostApplication().has_value());
  EXPECT_EQ(desktop_->frontmostApplication()->pid, fixture->pid());

  std::optional<WindowRecord> record = recordOf(fixture->pid());
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->name, "Qor Fixture Main");
  ASSERT_TRUE(record->bounds.has_value());
  EXPECT_EQ(record->bounds->width, 640);
  EXPECT_EQ(record->bounds->height, 560);
  EXPECT_GT(record->number.value_or(0), 0);
}

TEST_F(X11Backend, ReadsTheFixtureTreeInTheAccessibilityVocabulary) {
  auto fixture = desktoptest::startFixture();
  ElementRef app = desktop_->applicationElement(fixture->pid());
  desktop_->setMessagingTimeout(app, 1.0);
  EXPECT_EQ(text(app, "AXRole"), "AXApplication");
  std::vector<ElementRef> windows = list(app, "AXWindows");
  ASSERT_EQ(windows.size(), 1u);
  ElementRef window = windows[0];
  EXPECT_EQ(text(window, "AXRole"), "AXWindow");
  EXPECT_EQ(text(window, "AXTitle"), "Qor Fixture Main");
  // The window's frame agrees with its window record: both are the client area.
  std::optional<Frame> windowFrame = frame(window);
  std::optional<WindowRecord> record = recordOf(fixture->pid());
  ASSERT_TRUE(windowFrame && record && record->bounds);
  EXPECT_TRUE(near(*windowFrame, *record->bounds));
  AXRead focused = desktop_->copyAttribute(app, "AXFocusedWindow");
  ASSERT_TRUE(std::holds_alternative<ElementRef>(focused.value));
  EXPECT_EQ(std::get<ElementRef>(focused.value)->identity(), window->identity());

  ElementRef button = findRole(window, "AXButton", "Count Click");
  ASSERT_NE(button, nullptr);
  std::vector<std::string> actions;
  EXPECT_EQ(desktop_->copyActionNames(button, actions), kAXSuccess);
  EXPECT_EQ(actions, std::vector<std::string>{"AXPress"});
  EXPECT_EQ(std::get<bool>(desktop_->copyAttribute(button, "AXEnabled").value), true);

  ElementRef password = find(
      window, [&](const ElementRef& e) { return text(e, "AXSubrole") == "AXSecureTextField"; });
  ASSERT_NE(password, nullptr);
  EXPECT_EQ(text(password, "AXRole"), "AXTextField");
  EXPECT_NE(desktop_->copyAttribute(password, "AXValue").error, kAXSuccess);

  ElementRef name = find(window, [&](const ElementRef& e) {
    return text(e, "AXRole") == "AXTextField" && text(e, "AXValue") == "Ada";
  });
  EXPECT_NE(name, nullptr);
  ElementRef notes = findRole(window, "AXTextArea");
  ASSERT_NE(notes, nullptr);
  EXPECT_EQ(text(notes, "AXValue"), "First line of notes\nSecond line of notes");
  ElementRef slider = findRole(window, "AXSlider");
  ASSERT_NE(slider, nullptr);
  EXPECT_EQ(std::get<double>(desktop_->copyAttribute(slider, "AXValue").value), 30.0);
  ElementRef check = findRole(window, "AXCheckBox", "Remember me");
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(std::get<std::int64_t>(desktop_->copyAttribute(check, "AXValue").value), 1);
  ElementRef table = findRole(window, "AXTable");
  ASSERT_NE(table, nullptr);
  ElementRef firstRow = findRole(table, "AXCell", "Row 1");
  EXPECT_NE(firstRow, nullptr);

  // The menu bar belongs to the application, as on macOS, and is not inside the window.
  EXPECT_EQ(findRole(window, "AXMenuBar"), nullptr);
  AXRead menuBar = desktop_->copyAttribute(app, "AXMenuBar");
  ASSERT_TRUE(std::holds_alternative<ElementRef>(menuBar.value));
  ElementRef bar = std::get<ElementRef>(menuBar.value);
  EXPECT_EQ(text(bar, "AXRole"), "AXMenuBar");
  std::vector<ElementRef> menus = list(bar, "AXChildren");
  ASSERT_EQ(menus.size(), 3u);
  EXPECT_EQ(text(menus[0], "AXRole"), "AXMenuBarItem");
  EXPECT_EQ(text(menus[0], "AXTitle"), "File");
  std::vector<ElementRef> items = list(menus[0], "AXChildren");
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(text(items[0], "AXRole"), "AXMenuItem");
  // Closed menus have no place on screen.
  EXPECT_FALSE(frame(items[0]).has_value());
}

TEST_F(X11Backend, PerformsActionsAndSeesTheirEffectAfterwards) {
  auto fixture = desktoptest::startFixture();
  ElementRef window = list(desktop_->applicationElement(fixture->pid()), "AXWindows").at(0);
  ElementRef button = findRole(window, "AXButton", "Count Click");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(desktop_->performAction(button, "AXPress"), kAXSuccess);
  EXPECT_EQ(desktop_->performAction(button, "click"), kAXSuccess);  // the toolkit's own name
  EXPECT_EQ(desktop_->performAction(button, "AXIncrement"), kAXErrorActionUnsupported);
  // The toolkit carries a press out after it has answered; each new turn of the loop reads
  // afresh.
  EXPECT_TRUE(desktoptest::waitUntil([&] {
    loop_.runUntilIdle();
    return findRole(window, "AXStaticText", "Clicks: 2") != nullptr;
  }));
}

TEST_F(X11Backend, CapturesTheWindowAtItsSize) {
  auto fixture = desktoptest::startFixture();
  std::optional<Result<std::vector<ShareableWindow>>> listed;
  desktop_->shareableWindows([&](auto result) { listed = std::move(result); });
  loop_.runUntilIdle();
  ASSERT_TRUE(listed && std::holds_alternative<std::vector<ShareableWindow>>(*listed));
  std::optional<ShareableWindow> window;
  for (const ShareableWindow& each : std::get<std::vector<ShareableWindow>>(*listed)) {
    if (each.ownerPID == fixture->pid()) {
      window = each;
    }
  }
  ASSERT_TRUE(window.has_value());
  EXPECT_EQ(window->layer, 0);
  EXPECT_EQ(window->pointPixelScale, 1.0);
  std::optional<Result<Image>> captured;
  desktop_->captureWindow(*window, 640, 560, [&](auto result) { captured = std::move(result); });
  loop_.runUntilIdle();
  ASSERT_TRUE(captured && std::holds_alternative<Image>(*captured));
  const Image& image = std::get<Image>(*captured);
  EXPECT_EQ(image.width, 640u);
  EXPECT_EQ(image.height, 560u);
  ASSERT_EQ(image.rgba.size(), 640u * 560u * 4u);
  std::set<std::uint32_t> colours;
  for (std::size_t i = 0; i < image.rgba.size(); i += 4 * 97) {
    colours.insert(image.rgba[i] << 16 | image.rgba[i + 1] << 8 | image.rgba[i + 2]);
  }
  EXPECT_GT(colours.size(), 2u);  // a real window, not a blank rectangle
}

TEST_F(X11Backend, ReportsPermissionsAndAutomationByBusName) {
  auto fixture = desktoptest::startFixture();
  EXPECT_TRUE(desktop_->isProcessTrusted());
  EXPECT_TRUE(desktop_->preflightScreenCapture());
  EXPECT_EQ(desktop_->automationStatus("dev.qor.Fixture", false), 0);
  EXPECT_EQ(desktop_->automationStatus("dev.qor.NotRunning", false), -600);
  EXPECT_EQ(desktop_->automationStatus("not a bus name", true), -600);
  PlatformInfo info = desktop_->platformInfo();
  EXPECT_EQ(info.platform, "linux");
  EXPECT_FALSE(info.architecture.empty());
}

TEST_F(X11Backend, GivesAWindowWithoutAccessibilityTreeNoWindows) {
  auto xterm = desktoptest::startStock({"xterm"});
  std::optional<WindowRecord> record = recordOf(xterm->pid());
  ASSERT_TRUE(record.has_value());
  std::vector<RunningApplication> apps = desktop_->runningApplications("debian-xterm");
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].pid, xterm->pid());
  ElementRef app = desktop_->applicationElement(xterm->pid());
  EXPECT_NE(desktop_->copyAttribute(app, "AXRole").error, kAXSuccess);
  EXPECT_TRUE(list(app, "AXWindows").empty());
}

TEST_F(X11Backend, WaitsForAStoppedApplicationOnceThenRecovers) {
  auto fixture = desktoptest::startFixture();
  ElementRef app = desktop_->applicationElement(fixture->pid());
  desktop_->setMessagingTimeout(app, 1.0);
  ElementRef window = list(app, "AXWindows").at(0);
  loop_.runUntilIdle();

  kill(fixture->pid(), SIGSTOP);
  auto start = std::chrono::steady_clock::now();
  for (const char* attribute : {"AXRole", "AXTitle", "AXChildren", "AXPosition", "AXSize"}) {
    EXPECT_EQ(desktop_->copyAttribute(window, attribute).error, kAXErrorCannotComplete);
  }
  for (const char* attribute : {"AXRole", "AXTitle", "AXWindows", "AXFocusedWindow"}) {
    EXPECT_EQ(desktop_->copyAttribute(app, attribute).error, kAXErrorCannotComplete);
  }
  // One messaging timeout for the whole turn, not one per attribute.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  kill(fixture->pid(), SIGCONT);
  loop_.runUntilIdle();
  EXPECT_EQ(text(window, "AXTitle"), "Qor Fixture Main");
}

TEST_F(X11Backend, FindsNoDisplayWithoutOne) {
  std::string display = std::getenv("DISPLAY");
  unsetenv("DISPLAY");
  EXPECT_EQ(platform::makeX11Desktop(loop_), nullptr);
  setenv("DISPLAY", display.c_str(), 1);
}

}  // namespace
}  // namespace qor
