// Two observations in a row of an application that did not change give the same tree, whichever
// way the toolkit is read: element by element, or with one bulk read where the toolkit offers
// it (GTK 4 lists in it only the objects read before, so the first observation is read element
// by element and the next ones mostly in bulk).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::Bridge;

struct RepeatedCase {
  const char* name;
  std::vector<std::string> command;
  std::vector<std::string> environment;
};

class RepeatedObservationTest : public ::testing::TestWithParam<RepeatedCase> {};

TEST_P(RepeatedObservationTest, GivesTheSameTree) {
  // A pointer left over the window by an earlier test would bring up a tooltip between two
  // observations.
  ASSERT_TRUE(desktoptest::run({"xdotool", "mousemove", "0", "0"}));
  auto app = desktoptest::startStock(GetParam().command, GetParam().environment);
  Bridge bridge;
  const Json params = {{"bundleId", desktoptest::bundleIdOf(bridge, app->pid())},
                       {"maxNodes", 2000}};
  // An application busy starting up may leave a read unanswered, and the observation then says
  // it is incomplete: the first complete one is the reference.
  Json first = desktoptest::waitUntil([&] { return bridge.request("app.observe", params); },
                                      [](const Json& response) {
                                        return response.contains("result") &&
                                               response["result"]["truncated"] == false;
                                      });
  ASSERT_TRUE(first.contains("result")) << first.dump();
  ASSERT_EQ(first["result"]["truncated"], false);
  for (int again = 0; again < 2; ++again) {
    Json next = bridge.request("app.observe", params);
    ASSERT_TRUE(next.contains("result")) << next.dump();
    EXPECT_EQ(next["result"]["nodeCount"], first["result"]["nodeCount"]);
    EXPECT_EQ(next["result"]["tree"], first["result"]["tree"]);
    EXPECT_EQ(next["result"]["truncated"], false);
  }
}

const RepeatedCase kRepeatedCases[] = {
    {"Gtk4", {"gnome-calculator"}, {}},
    {"Gtk3", {"gtk3-widget-factory"}, {}},
    {"Qt5", {"featherpad"}, {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"}},
};

INSTANTIATE_TEST_SUITE_P(Toolkits, RepeatedObservationTest, ::testing::ValuesIn(kRepeatedCases),
                         [](const auto& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace qor
