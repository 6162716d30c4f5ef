// The Accessibility and window-list readers: what counts as missing, what is filtered out, and
// which window is preferred.
#include "bridge/accessibility.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/support/sim_fixtures.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor {
namespace {

using desktop::WindowRecord;
using testing::addAppWindow;

constexpr desktop::Pid kPid = 300;
constexpr Frame kFront{0, 0, 400, 300};
constexpr Frame kMiddle{50, 50, 400, 300};
constexpr Frame kBack{100, 100, 400, 300};

bool sameFrame(const std::optional<Frame>& a, const std::optional<Frame>& b) {
  if (!a || !b) {
    return !a && !b;
  }
  return a->x == b->x && a->y == b->y && a->width == b->width && a->height == b->height;
}

class AccessibilityTest : public ::testing::Test {
 protected:
  AccessibilityTest() : app(desktop.addApplication(kPid, "com.example.viewer")) {}

  std::vector<std::int64_t> numbers(const std::vector<WindowRecord>& records) {
    std::vector<std::int64_t> result;
    for (const WindowRecord& record : records) {
      result.push_back(record.number.value_or(-1));
    }
    return result;
  }

  runtime::VirtualClock clock;
  runtime::EventLoop loop{clock};
  sim::SimDesktop desktop{loop};
  sim::SimApplication& app;
};

TEST_F(AccessibilityTest, WindowRecordsKeepTheApplicationsLayerZeroWindowsInOrder) {
  desktop.addWindow(1, kPid, kFront);
  desktop.addWindow(2, kPid, kFront).layer = 3;                                 // a floating panel
  desktop.addWindow(3, kPid + 1, kFront);                                       // another process
  desktop.addWindow(4, kPid, kMiddle).onScreen = false;                         // minimised
  desktop.addWindow(5, kPid, kMiddle).layer.reset();                            // no layer at all
  desktop.addWindow(6, kPid, kBack).ownerPID.reset();                           // no owner at all
  desktop.addWindow(7, kPid, kBack).ownerPID = kPid + (std::int64_t{1} << 32);  // not 32-bit
  desktop.addWindow(8, kPid, kBack);

  EXPECT_EQ(numbers(windowRecords(desktop, kPid)), (std::vector<std::int64_t>{1, 8}));
  desktop.bringToFront(8);
  EXPECT_EQ(numbers(windowRecords(desktop, kPid)), (std::vector<std::int64_t>{8, 1}));
  EXPECT_TRUE(windowRecords(desktop, kPid + 2).empty());
}

TEST_F(AccessibilityTest, DescribeWindowLeavesOutWhatTheRecordLacks) {
  WindowRecord full{kPid, 0, 42, Frame{10, 20, 300, 200}, "Report"};
  EXPECT_EQ(describeWindow(full),
            (Json{{"windowId", 42},
                  {"frame", {{"x", 10.0}, {"y", 20.0}, {"width", 300.0}, {"height", 200.0}}},
                  {"title", "Report"}}));
  EXPECT_EQ(describeWindow(WindowRecord{kPid, 0, std::nullopt, std::nullopt, std::nullopt}),
            (Json{{"windowId", 0}}));
  EXPECT_EQ(describeWindow(WindowRecord{kPid, 0, 7, std::nullopt, ""}),
            (Json{{"windowId", 7}, {"title", ""}}));
}

TEST_F(AccessibilityTest, RecordNumberIsAnUnsigned32BitWindowNumber) {
  auto numbered = [](std::optional<std::int64_t> number) {
    return recordNumber(WindowRecord{kPid, 0, number, std::nullopt, std::nullopt});
  };
  EXPECT_EQ(numbered(4294967295), 4294967295u);
  EXPECT_EQ(numbered(1), 1u);
  EXPECT_FALSE(numbered(4294967296));
  EXPECT_FALSE(numbered(-1));
  EXPECT_FALSE(numbered(std::nullopt));
}

TEST_F(AccessibilityTest, AttributeReadersTurnEveryProblemIntoNothing) {
  auto button = sim::element("AXButton")
                    ->attribute("AXTitle", std::int64_t{5})
                    ->attributeError("AXDescription", desktop::kAXErrorFailure)
                    ->position({10, 20})
                    ->attribute("AXChildren", sim::element("AXGroup"));  // not a list
  app.element->windows({button});

  EXPECT_EQ(axString(desktop, button, "AXRole"), "AXButton");
  EXPECT_EQ(axString(desktop, button, "AXTitle"), "") << "a number is not a string";
  EXPECT_EQ(axString(desktop, button, "AXDescription"), "") << "a failed read";
  EXPECT_EQ(axString(desktop, button, "AXHelp"), "") << "a missing attribute";
  EXPECT_FALSE(axFrame(desktop, button)) << "a position without a size";
  EXPECT_TRUE(axChildren(desktop, button, "AXChildren").empty());

  button->attribute("AXSize", Point{30, 40});  // a size must be a size, not a point
  EXPECT_FALSE(axFrame(desktop, button));
  button->size({30, 40});
  EXPECT_TRUE(sameFrame(axFrame(desktop, button), Frame{10, 20, 30, 40}));
  button->attribute("AXPosition", Size{10, 20});
  EXPECT_FALSE(axFrame(desktop, button));
}

TEST_F(AccessibilityTest, ApplicationElementsGiveUpAfterOneSecond) {
  desktop::ElementRef element = applicationElement(desktop, kPid);
  EXPECT_EQ(element->identity(), app.element->identity());
  ASSERT_EQ(desktop.log.messagingTimeouts.size(), 1u);
  EXPECT_EQ(desktop.log.messagingTimeouts[0].pid, kPid);
  EXPECT_EQ(desktop.log.messagingTimeouts[0].seconds, 1.0);
}

TEST_F(AccessibilityTest, FocusedWindowFrameNeedsAFocusedWindowElement) {
  auto window = addAppWindow(desktop, app, 1, kFront, "One");
  EXPECT_FALSE(focusedWindowFrame(desktop, kPid));
  app.element->focusedWindow(window);
  EXPECT_TRUE(sameFrame(focusedWindowFrame(desktop, kPid), kFront));
  app.element->attribute("AXFocusedWindow", std::string("One"));
  EXPECT_FALSE(focusedWindowFrame(desktop, kPid));
}

TEST_F(AccessibilityTest, PreferredWindowIsTheFocusedOneThenAnyAccessibleOneThenTheFrontOne) {
  desktop.addWindow(1, kPid, kFront);  // not exposed through Accessibility
  desktop.addWindow(2, kPid, kMiddle);
  desktop.addWindow(3, kPid, kBack);
  auto middle = sim::element("AXWindow")->frame({50.5, 49.5, 400, 300});  // within one point
  auto back = sim::element("AXWindow")->frame(kBack);
  app.element->windows({back, middle})->focusedWindow(back);
  std::vector<WindowRecord> records = windowRecords(desktop, kPid);

  auto preferred = [&] { return preferredWindowRecord(desktop, kPid, records)->number; };
  EXPECT_EQ(preferred(), 3) << "the focused window wins over an earlier match";
  app.element->removeAttribute("AXFocusedWindow");
  EXPECT_EQ(preferred(), 2) << "the frontmost record that an Accessibility window matches";
  app.element->windows({});
  EXPECT_EQ(preferred(), 1) << "no match: the frontmost record";
  records[0].bounds.reset();
  EXPECT_EQ(preferred(), 1) << "the fallback does not need bounds";
}

TEST_F(AccessibilityTest, PreferredWindowOfASilentApplicationIsTheFirstRecord) {
  desktop.addWindow(1, kPid, kFront);
  desktop.addWindow(2, kPid, kBack);
  auto back = sim::element("AXWindow")->frame(kBack);
  app.element->windows({back})->focusedWindow(back);
  app.answersAccessibility = false;

  std::vector<WindowRecord> records = windowRecords(desktop, kPid);
  EXPECT_EQ(preferredWindowRecord(desktop, kPid, records)->number, 1);
  EXPECT_FALSE(preferredWindowRecord(desktop, kPid, {})) << "no records, no window";
  app.answersAccessibility = true;
  EXPECT_FALSE(preferredWindowRecord(desktop, kPid, {}))
      << "Accessibility windows alone never make a record";
}

}  // namespace
}  // namespace qor
