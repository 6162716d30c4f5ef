// Applications that stop answering Accessibility requests, or exit, while the bridge reads
// them; and a Qt application, whose toolkit ends itself on a kind of request others take.
// An observation must report only what the application said during it, say when that is not
// everything, and stay within its time budget.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using desktoptest::Bridge;
using desktoptest::nodesWhere;
using desktoptest::Program;

// The walk's budget is five seconds; one messaging timeout on top may be under way when it
// runs out, and the test machine is shared.
constexpr auto kObservationLimit = 8s;

struct Observed {
  Json result;
  std::string error;
};

Json observeParams(Bridge& bridge, pid_t pid) {
  return {{"bundleId", desktoptest::bundleIdOf(bridge, pid)}, {"maxNodes", 2000}};
}

Observed observe(Bridge& bridge, pid_t pid) {
  Json response = bridge.request("app.observe", observeParams(bridge, pid));
  if (response.contains("error")) {
    return {Json(), response["error"].value("code", "")};
  }
  return {response["result"], ""};
}

// What happens to the application while its observation is under way.
enum class Fate { resumes, exits };

struct StoppedCase {
  const char* name;
  std::vector<std::string> command;
  Fate fate;
};

class StoppedApplicationTest : public ::testing::TestWithParam<StoppedCase> {};

TEST_P(StoppedApplicationTest, ObservationSaysItIsIncompleteAndRequestsWaitTheirTurn) {
  const StoppedCase& scenario = GetParam();
  auto app = desktoptest::startStock(scenario.command);
  Bridge bridge;
  Observed whole = observe(bridge, app->pid());
  ASSERT_EQ(whole.error, "");
  ASSERT_EQ(whole.result["truncated"], false);
  const auto wholeCount = whole.result["nodeCount"].get<int>();
  ASSERT_GT(wholeCount, 10);

  // Stopped right after a complete observation: nothing it read before may come back.
  const Json params = observeParams(bridge, app->pid());
  ASSERT_EQ(kill(app->pid(), SIGSTOP), 0);
  long long stalled = bridge.send("app.observe", params);
  long long behind = bridge.send("capabilities");
  if (scenario.fate == Fate::exits) {
    // Ends it while the walk waits for its first answer (a messaging timeout of one second).
    // Nothing outside the bridge shows that the walk has begun, so this is the one pause; had
    // the walk not begun, the application is rightly reported as not running.
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(kill(app->pid(), SIGKILL), 0);
  }
  Json partial = bridge.response(stalled, kObservationLimit);
  if (scenario.fate == Fate::exits && partial.contains("error")) {
    EXPECT_EQ(partial["error"]["code"], "applicationNotRunning");
    return;
  }
  ASSERT_TRUE(partial.contains("result")) << partial.dump();
  EXPECT_EQ(partial["result"]["truncated"], true) << partial["result"]["nodeCount"];
  EXPECT_LT(partial["result"]["nodeCount"].get<int>(), wholeCount);
  EXPECT_TRUE(bridge.response(behind, kObservationLimit).contains("result"));
  EXPECT_EQ(bridge.arrivals().back(), behind) << "a request waits for the observation before it";

  if (scenario.fate == Fate::resumes) {
    ASSERT_EQ(kill(app->pid(), SIGCONT), 0);
    Observed again = observe(bridge, app->pid());
    ASSERT_EQ(again.error, "");
    EXPECT_EQ(again.result["truncated"], false);
    EXPECT_EQ(again.result["nodeCount"], wholeCount);
  } else {
    EXPECT_TRUE(app->exitsWithin(5s));
    Json gone = bridge.request("app.observe", params);
    EXPECT_TRUE(gone.contains("error")) << "a gone application has nothing to read";
  }
  EXPECT_EQ(bridge.finish(), 0);
}

const StoppedCase kStoppedCases[] = {
    {"Gtk3Resumes", {"gtk3-widget-factory"}, Fate::resumes},
    {"Gtk3Exits", {"gtk3-widget-factory"}, Fate::exits},
    {"FixtureResumes", {desktoptest::fixtureBinary()}, Fate::resumes},
    {"FixtureExits", {desktoptest::fixtureBinary()}, Fate::exits},
};

INSTANTIATE_TEST_SUITE_P(Applications, StoppedApplicationTest, ::testing::ValuesIn(kStoppedCases),
                         [](const auto& each) { return std::string(each.param.name); });

// A Qt 5 application is read like a GTK one, in any language: its window, its title, its text
// area, buttons that can be pressed (Qt translates the descriptions of its actions, not the
// names the bridge maps), and it is still running afterwards (asked for all properties of an
// object at once, Qt 5 ends itself).
struct Language {
  const char* name;
  std::string locale;
  const char* editMenu;  // the title of the Edit menu: the application speaks the language
};

void PrintTo(const Language& language, std::ostream* out) {
  *out << language.locale;
}

class QtApplicationTest : public ::testing::TestWithParam<Language> {};

TEST_P(QtApplicationTest, IsObservedWholeAndSurvivesIt) {
  const Language& language = GetParam();
  auto editor = desktoptest::startStock(
      {"featherpad"}, {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "LC_ALL=" + language.locale,
                       "LANGUAGE=" + language.locale.substr(0, language.locale.find('.'))});
  Bridge bridge;
  Observed first = observe(bridge, editor->pid());
  ASSERT_EQ(first.error, "");
  const Json& tree = first.result["tree"];
  ASSERT_FALSE(tree.empty());
  EXPECT_EQ(tree[0]["role"], "AXWindow");
  EXPECT_FALSE(tree[0].value("title", "").empty());
  EXPECT_TRUE(tree[0].contains("frame"));
  EXPECT_FALSE(nodesWhere(tree, [](const Json& node) {
                 return node.value("role", "") == "AXTextArea";
               }).empty());
  EXPECT_FALSE(nodesWhere(tree, [&](const Json& node) {
                 return node.value("title", "") == language.editMenu;
               }).empty());
  EXPECT_FALSE(nodesWhere(tree, [](const Json& node) {
                 const Json actions = node.value("actions", Json::array());
                 return node.value("role", "") == "AXButton" &&
                        std::find(actions.begin(), actions.end(), "AXPress") != actions.end();
               }).empty());
  EXPECT_EQ(first.result["truncated"], false);
  EXPECT_TRUE(editor->running());
  Observed second = observe(bridge, editor->pid());
  EXPECT_EQ(second.result["nodeCount"], first.result["nodeCount"]);
}

const Language kLanguages[] = {
    {"C", "C.UTF-8", "Edit"},
    {"German", "de_DE.UTF-8", "Bearbeiten"},
};

INSTANTIATE_TEST_SUITE_P(Languages, QtApplicationTest, ::testing::ValuesIn(kLanguages),
                         [](const auto& each) { return std::string(each.param.name); });

}  // namespace
}  // namespace qor
