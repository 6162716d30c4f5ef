// "app.observe" on the simulated desktop: the choice of window and roots, the bounded walk, the
// node keys, and the observation it leaves in the store.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <regex>
#include <string>

#include "bridge/support/harness.h"
#include "bridge/support/sim_fixtures.h"
#include "core/identifiers.h"
#include "core/text.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using sim::SimElement;

constexpr desktop::Pid kEditorPid = 100;
constexpr Frame kEditorFrame{100, 100, 800, 600};
constexpr const char* kEditor = "com.example.editor";

class ObserveTest : public ::testing::Test {
 protected:
  // The editor: one on-screen window (number 11) whose Accessibility window matches its record.
  void SetUp() override {
    sim::SimApplication& editor = h.desktop.addApplication(kEditorPid, kEditor);
    window = testing::addAppWindow(h.desktop, editor, 11, kEditorFrame, "Untitled");
    editor.element->focusedWindow(window);
  }

  Json observe(Json params = Json::object()) {
    params["bundleId"] = kEditor;
    h.request(++id, "app.observe", params);
    return h.responseFor(id);
  }

  Json observeResult(Json params = Json::object()) {
    Json response = observe(std::move(params));
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"];
  }

  void expectFailure(const Json& response, const std::string& code, const std::string& message) {
    ASSERT_TRUE(response.contains("error")) << response.dump();
    EXPECT_EQ(response["error"]["code"], code);
    EXPECT_EQ(response["error"]["message"], message);
    EXPECT_EQ(response["error"]["details"], Json::object());
  }

  std::size_t reads(const std::string& call) const {
    return static_cast<std::size_t>(std::ranges::count(h.desktop.log.calls, call));
  }

  testing::Harness h;
  SimElement::Ptr window;
  int id = 0;
};

// Every ref of a tree in pre-order.
void collectRefs(const Json& nodes, std::vector<std::string>& refs) {
  for (const Json& node : nodes) {
    refs.push_back(node["ref"]);
    if (node.contains("children")) {
      collectRefs(node["children"], refs);
    }
  }
}

TEST_F(ObserveTest, AnswersTheWindowTreeAndStoresTheObservation) {
  window->child(sim::element("AXButton")->title("Save")->actions({"AXPress"})->enabled(true));
  Json result = observeResult();

  EXPECT_TRUE(std::regex_match(result["observationId"].get<std::string>(),
                               std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                          "[0-9A-F]{12}")));
  EXPECT_EQ(result["bundleId"], kEditor);
  EXPECT_EQ(result["pid"], kEditorPid);
  EXPECT_EQ(result["windowId"], 11);
  EXPECT_EQ(result["windows"],
            Json::parse(R"([{"windowId":11,"title":"Untitled",)"
                        R"("frame":{"x":100.0,"y":100.0,"width":800.0,"height":600.0}}])"));
  EXPECT_EQ(result["nodeCount"], 2);
  EXPECT_EQ(result["truncated"], false);
  const auto expires = std::chrono::floor<std::chrono::seconds>(h.clock.wallNow() + 120s);
  EXPECT_EQ(result["expiresAt"], ids::iso8601UTC(expires.time_since_epoch().count()));
  EXPECT_EQ(result["tree"],
            Json::parse(R"([{"ref":"e1","role":"AXWindow","title":"Untitled","actions":[],
              "frame":{"x":100.0,"y":100.0,"width":800.0,"height":600.0},
              "children":[{"ref":"e2","role":"AXButton","title":"Save","enabled":true,
                           "actions":["AXPress"]}]}])"));

  const Observation& stored = h.runtime.observations().at(result["observationId"]);
  EXPECT_EQ(stored.bundleID, kEditor);
  EXPECT_EQ(stored.pid, kEditorPid);
  EXPECT_EQ(stored.launchDate, h.desktop.application(kEditorPid).launchDate);
  EXPECT_EQ(stored.windowID, 11u);
  ASSERT_TRUE(stored.frame.has_value());
  EXPECT_EQ(stored.frame->width, 800);
  EXPECT_FALSE(stored.pixelSize.has_value());
  EXPECT_EQ(stored.expires, h.clock.wallNow() + 120s);
  ASSERT_EQ(stored.elements.size(), 2u);
  EXPECT_EQ(stored.reference("e2")->role, "AXButton");
  EXPECT_EQ(stored.reference("e2")->title, "Save");
}

TEST_F(ObserveTest, NodeKeysFollowTheAttributeKinds) {
  auto password = sim::element("AXTextField")->subrole("AXSecureTextField")->value("hunter2");
  auto empty = sim::element("AXTextField")->value("")->title("");
  auto slider = sim::element("AXSlider")->value(42)->description("Volume");
  auto level = sim::element("AXLevelIndicator")->value(0.5)->identifier("level")->help("Level");
  auto odd = sim::element("AXCheckBox")
                 ->value(std::int64_t{1})
                 ->attribute("AXEnabled", desktop::AXValue(std::int64_t{1}))
                 ->attribute("AXDescription", desktop::AXValue(std::int64_t{3}))
                 ->attribute("AXHelp", desktop::AXValue(std::string()))
                 ->actionNamesError(desktop::kAXErrorFailure);
  auto link =
      sim::element("AXLink")
          ->attribute("AXValue", desktop::AXValue(desktop::ElementRef(sim::element("AXGroup"))))
          ->position({1, 2});  // no size: no frame
  auto unreadable =
      sim::element("AXStaticText")->attributeError("AXValue", desktop::kAXErrorFailure);
  // The password field comes right after a field with a value, read at the same depth.
  window->children({empty, password, slider, level, odd, link, unreadable});

  Json nodes = observeResult()["tree"][0]["children"];
  ASSERT_EQ(nodes.size(), 7u);
  EXPECT_EQ(nodes[0], Json::parse(R"({"ref":"e2","role":"AXTextField","value":"","actions":[]})"));
  EXPECT_EQ(nodes[1],
            Json::parse(R"({"ref":"e3","role":"AXTextField","secure":true,"actions":[]})"));
  EXPECT_EQ(nodes[2]["value"], 42);
  EXPECT_TRUE(nodes[2]["value"].is_number_integer());
  EXPECT_EQ(nodes[2]["description"], "Volume");
  EXPECT_EQ(nodes[3]["value"], 0.5);
  EXPECT_TRUE(nodes[3]["value"].is_number_float());
  EXPECT_EQ(nodes[3]["identifier"], "level");
  EXPECT_EQ(nodes[3]["help"], "Level");
  EXPECT_EQ(nodes[4], Json::parse(R"({"ref":"e6","role":"AXCheckBox","value":1})"))
      << "a number is no Boolean, a number is no text, a failed action query leaves no key";
  EXPECT_EQ(nodes[5], Json::parse(R"({"ref":"e7","role":"AXLink","actions":[]})"));
  EXPECT_EQ(nodes[6], Json::parse(R"({"ref":"e8","role":"AXStaticText","actions":[]})"));
  // The password field's value is never read, only the seven others'.
  EXPECT_EQ(reads("copyAttribute AXValue"), 7u);
}

// The tree is written straight into the response as it is walked, so the order of every node's
// keys is the walker's own; it must be the order the writer of whole values gives them.
TEST_F(ObserveTest, NodesAreWrittenInWireOrder) {
  auto full = sim::element("AXButton")
                  ->title("Save / Export")
                  ->description("d")
                  ->identifier("i")
                  ->help("h")
                  ->value(-0.25)
                  ->enabled(false)
                  ->frame({110.5, 120, 30, 20})
                  ->actions({"AXPress"});
  full->child(sim::element("AXStaticText")->value("\"quoted\"\n"));
  window->children({full, sim::element("AXTextField")->subrole("AXSecureTextField")});

  observe();
  std::string line = h.rawLines().back();
  line.pop_back();  // the newline
  const std::optional<Json> parsed = wire::parse(line);
  ASSERT_TRUE(parsed.has_value()) << line;
  EXPECT_EQ(wire::serialize(*parsed), line);
  const Json& button = (*parsed)["result"]["tree"][0]["children"][0];
  EXPECT_EQ(button["frame"], Json::parse(R"({"x":110.5,"y":120,"width":30,"height":20})"));
  EXPECT_EQ(button["children"][0]["ref"], "e3");
  EXPECT_EQ(button.size(), 12u - 1u) << "every key but secure";
}

TEST_F(ObserveTest, TextsAreCutAtUserPerceivedCharacters) {
  std::string accented;
  for (int i = 0; i < 5'000; ++i) {
    accented += "e\xCC\x81";  // e + combining acute accent: one character, three bytes
  }
  const std::string longValue(10'001, 'v');
  auto field = sim::element("AXTextField")->title(accented)->help(accented)->value(longValue);
  window->child(field);

  Json result = observeResult();
  Json node = result["tree"][0]["children"][0];
  const std::string title = node["title"];
  EXPECT_EQ(text::graphemeCount(title), 4'000u);
  EXPECT_EQ(title.size(), 12'000u) << "cut between clusters, never inside one";
  EXPECT_EQ(node["help"], title);
  EXPECT_EQ(node["value"], std::string(10'000, 'v'));
  const Observation& stored = h.runtime.observations().at(result["observationId"]);
  EXPECT_EQ(stored.reference("e2")->title, accented) << "the reference keeps the full title";
}

TEST_F(ObserveTest, ElementBudgetIsExact) {
  window->children(
      {sim::element("AXButton"), sim::element("AXButton")->child(sim::element("AXImage"))});

  Json one = observeResult({{"maxNodes", 1}});
  EXPECT_EQ(one["tree"], Json::parse(R"([{"ref":"e1","role":"AXWindow","title":"Untitled",
      "actions":[],"frame":{"x":100.0,"y":100.0,"width":800.0,"height":600.0}}])"));
  EXPECT_EQ(one["nodeCount"], 1);
  EXPECT_EQ(one["truncated"], true);

  Json three = observeResult({{"maxNodes", 3}});
  std::vector<std::string> refs;
  collectRefs(three["tree"], refs);
  EXPECT_EQ(refs, (std::vector<std::string>{"e1", "e2", "e3"}));
  EXPECT_EQ(three["truncated"], true);

  Json all = observeResult({{"maxNodes", 4}});
  EXPECT_EQ(all["nodeCount"], 4);
  EXPECT_EQ(all["truncated"], false);
}

TEST_F(ObserveTest, DepthLimitCountsFromTheRoots) {
  auto group = sim::element("AXGroup");
  window->child(group);

  Json shallow = observeResult({{"maxDepth", 1}});
  EXPECT_EQ(shallow["nodeCount"], 2);
  EXPECT_EQ(shallow["truncated"], false) << "a tree of two levels fits in depth 1";

  group->child(sim::element("AXButton"));
  Json cut = observeResult({{"maxDepth", 1}});
  EXPECT_EQ(cut["nodeCount"], 2);
  EXPECT_FALSE(cut["tree"][0]["children"][0].contains("children"));
  EXPECT_EQ(cut["truncated"], true);

  EXPECT_EQ(observeResult({{"maxDepth", 2}})["nodeCount"], 3);
}

TEST_F(ObserveTest, LimitsOutsideTheirRangeFailBeforeAnyAccessibilityRequest) {
  const std::vector<std::pair<Json, std::string>> cases = {
      {{{"maxNodes", 0}}, "Integer outside 1...2000"},
      {{{"maxNodes", 2001}}, "Integer outside 1...2000"},
      {{{"maxNodes", 1.5}}, "Integer outside 1...2000"},
      {{{"maxNodes", nullptr}}, "Integer outside 1...2000"},
      {{{"maxNodes", 0}, {"maxDepth", 31}}, "Integer outside 1...2000"},
      {{{"maxDepth", 0}}, "Integer outside 1...30"},
      {{{"maxDepth", 31}}, "Integer outside 1...30"},
      {{{"maxDepth", "5"}}, "Integer outside 1...30"},
  };
  for (const auto& [params, message] : cases) {
    h.desktop.log = {};
    expectFailure(observe(params), "invalidArgument", message);
    EXPECT_FALSE(h.desktop.log.called("applicationElement")) << params.dump();
    EXPECT_EQ(std::ranges::count_if(
                  h.desktop.log.calls,
                  [](const std::string& call) { return call.starts_with("copyAttribute"); }),
              0)
        << params.dump();
  }
  expectFailure(observe({{"windowId", 0}}), "invalidArgument", "Integer outside 1...4294967295");
  EXPECT_TRUE(h.runtime.observations().empty()) << "a failed observation stores nothing";
}

TEST_F(ObserveTest, RefusesWithoutAccessibilityAccess) {
  h.desktop.accessibilityTrusted = false;
  Json response = observe();
  ASSERT_TRUE(response.contains("error"));
  EXPECT_EQ(response["error"]["code"], "missingPermission");
  EXPECT_EQ(response["error"]["message"], "macOS Accessibility access is required");
  EXPECT_EQ(response["error"]["details"], Json({{"permission", "accessibility"}}));
  EXPECT_FALSE(h.desktop.log.called("onScreenWindows"));
}

TEST_F(ObserveTest, RequestedWindowMustBeOnScreenAndOwnedByTheApplication) {
  testing::addOtherApp(h.desktop);
  SimElement::Ptr hidden = sim::element("AXWindow")->frame({50, 50, 300, 200});
  h.desktop.addWindow(12, kEditorPid, {50, 50, 300, 200}, "Minimised").onScreen = false;
  h.desktop.application(kEditorPid).element->windows({window, hidden});

  const std::string gone = "Selected window is no longer on screen";
  expectFailure(observe({{"windowId", testing::OtherAppFixture::kWindow}}), "windowUnavailable",
                gone);
  expectFailure(observe({{"windowId", 12}}), "windowUnavailable", gone);
  expectFailure(observe({{"windowId", 99}}), "windowUnavailable", gone);

  Json chosen = observeResult({{"windowId", 11}});
  EXPECT_EQ(chosen["windowId"], 11);
  EXPECT_EQ(chosen["tree"][0]["title"], "Untitled");
  EXPECT_EQ(chosen["windows"].size(), 1u) << "only the editor's on-screen windows";
}

TEST_F(ObserveTest, AccessibilityFrameThatDiffersFromTheRecord) {
  window->frame({100, 130, 800, 570});  // e.g. a title bar the window list counts and AX does not

  Json fallback = observeResult();
  EXPECT_EQ(fallback["windowId"], 11) << "the record is still the observed window";
  ASSERT_EQ(fallback["tree"].size(), 1u);
  EXPECT_EQ(fallback["tree"][0]["role"], "AXApplication") << "the application is the root";

  expectFailure(observe({{"windowId", 11}}), "accessibilityUnavailable",
                "Window exists but does not expose a matching Accessibility tree; use "
                "window.capture");
}

TEST_F(ObserveTest, OnlyWindowsMatchingTheRecordWithinOnePointAreRoots) {
  auto twin = sim::element("AXWindow")->title("Twin")->frame({101, 99, 801, 599});
  auto elsewhere = sim::element("AXWindow")->title("Elsewhere")->frame({102, 100, 800, 600});
  h.desktop.application(kEditorPid).element->windows({elsewhere, window, twin});

  Json tree = observeResult()["tree"];
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree[0]["title"], "Untitled");
  EXPECT_EQ(tree[1]["title"], "Twin");
}

TEST_F(ObserveTest, ApplicationWithoutOnScreenWindow) {
  h.desktop.removeWindow(11);
  Json result = observeResult();
  EXPECT_TRUE(result["windowId"].is_null());
  EXPECT_EQ(result["windows"], Json::array());
  EXPECT_EQ(result["tree"][0]["title"], "Untitled") << "the Accessibility windows are the roots";
  const Observation& stored = h.runtime.observations().at(result["observationId"]);
  EXPECT_FALSE(stored.windowID.has_value());
  EXPECT_FALSE(stored.frame.has_value());

  h.desktop.application(kEditorPid).element->windows({});
  Json bare = observeResult();
  EXPECT_EQ(bare["tree"][0]["role"], "AXApplication");
  EXPECT_EQ(bare["nodeCount"], 1);
}

TEST_F(ObserveTest, MenuBarIsTheLastRootAndIsWalkedOnce) {
  auto menuBar = sim::element("AXMenuBar")->child(sim::element("AXMenuBarItem")->title("File"));
  SimElement::Ptr app = h.desktop.application(kEditorPid).element;
  app->menuBar(menuBar);

  Json tree = observeResult()["tree"];
  ASSERT_EQ(tree.size(), 2u);
  EXPECT_EQ(tree[1]["role"], "AXMenuBar");
  EXPECT_EQ(tree[1]["ref"], "e2") << "numbering runs across roots";
  EXPECT_EQ(tree[1]["children"][0]["ref"], "e3");

  // The application element becomes the root and reaches the menu bar through its children.
  window->frame({0, 0, 10, 10});
  app->children({window, menuBar});
  Json fallback = observeResult();
  ASSERT_EQ(fallback["tree"].size(), 1u);
  std::vector<std::string> refs;
  collectRefs(fallback["tree"], refs);
  EXPECT_EQ(refs, (std::vector<std::string>{"e1", "e2", "e3", "e4"}));
  EXPECT_EQ(fallback["nodeCount"], 4);
  EXPECT_EQ(fallback["truncated"], false) << "a skipped duplicate is no truncation";
}

TEST_F(ObserveTest, ElementsOfTheSameIdentityAreWalkedOnce) {
  auto first = sim::element("AXButton")->title("First");
  auto alias = sim::element("AXButton")->title("Alias")->shareIdentityWith(first);
  window->children({first, alias, first});
  Json result = observeResult();
  EXPECT_EQ(result["tree"][0]["children"].size(), 1u);
  EXPECT_EQ(result["nodeCount"], 2);
}

TEST_F(ObserveTest, WalkStopsBetweenElementsAtFiveSeconds) {
  for (int i = 0; i < 8; ++i) {
    window->child(sim::element("AXButton")->title("Button " + std::to_string(i)));
  }
  // Reading an element takes one second of the virtual clock.
  h.desktop.onAttributeRead = [this](const std::string& attribute) {
    if (attribute == "AXRole") {
      h.clock.advance(1s);
    }
  };
  Json result = observeResult();
  EXPECT_EQ(result["nodeCount"], 5) << "elements started at 0, 1, 2, 3 and 4 seconds";
  EXPECT_EQ(result["truncated"], true);
  Json last = result["tree"][0]["children"][3];
  EXPECT_EQ(last["ref"], "e5");
  EXPECT_EQ(last["title"], "Button 3") << "the element under way when time ran out is complete";
  EXPECT_TRUE(last.contains("actions"));
}

// Whether an observation admits that it is incomplete when the application failed to answer
// part of it, and only then: an element that no longer exists or an attribute without a value is
// an answer.
struct UnansweredCase {
  const char* name;
  std::function<void(testing::Harness&, const SimElement::Ptr& field)> arrange;
  bool truncated;
};

class UnansweredReadTest : public ObserveTest,
                           public ::testing::WithParamInterface<UnansweredCase> {};

TEST_P(UnansweredReadTest, MarksTheObservationTruncatedOnlyWhenAnAnswerIsMissing) {
  SimElement::Ptr field = sim::element("AXTextField")->title("Name")->value("Ada");
  window->child(field);
  window->child(sim::element("AXButton")->title("Save"));
  GetParam().arrange(h, field);
  Json result = observeResult();
  EXPECT_EQ(result["truncated"], GetParam().truncated) << result.dump();
  EXPECT_GE(result["nodeCount"], 1) << "what was read before stays";
}

void failRead(const SimElement::Ptr& element, const char* attribute, desktop::AXError error) {
  element->attributeError(attribute, error);
}

const UnansweredCase kUnansweredCases[] = {
    {"RoleNotAnswered",
     [](auto&, const auto& field) { failRead(field, "AXRole", desktop::kAXErrorCannotComplete); },
     true},
    {"TitleNotAnswered",
     [](auto&, const auto& field) { failRead(field, "AXTitle", desktop::kAXErrorCannotComplete); },
     true},
    {"ChildrenNotAnswered",
     [](auto&, const auto& field) {
       failRead(field, "AXChildren", desktop::kAXErrorCannotComplete);
     },
     true},
    {"ValueNotAnswered",
     [](auto&, const auto& field) { failRead(field, "AXValue", desktop::kAXErrorCannotComplete); },
     true},
    {"ActionNamesNotAnswered",
     [](auto&, const auto& field) { field->actionNamesError(desktop::kAXErrorCannotComplete); },
     true},
    {"ApplicationStopsAnsweringDuringTheWalk",
     [](testing::Harness& h, const auto&) {
       h.desktop.onAttributeRead = [&h, reads = 0](const std::string& attribute) mutable {
         if (attribute == "AXRole" && ++reads == 2) {
           h.desktop.application(kEditorPid).answersAccessibility = false;
         }
       };
     },
     true},
    {"ElementVanished", [](auto&, const auto& field) { field->invalidate(); }, false},
    {"ValueMissing",
     [](auto&, const auto& field) { failRead(field, "AXValue", desktop::kAXErrorNoValue); }, false},
    {"TitleUnsupported",
     [](auto&, const auto& field) {
       failRead(field, "AXTitle", desktop::kAXErrorAttributeUnsupported);
     },
     false},
};

INSTANTIATE_TEST_SUITE_P(Reads, UnansweredReadTest, ::testing::ValuesIn(kUnansweredCases),
                         [](const auto& each) { return std::string(each.param.name); });

TEST_F(ObserveTest, TwoObservationsIssueIndependentReferences) {
  window->child(sim::element("AXButton")->title("Save"));
  Json first = observeResult();
  window->title("Renamed");
  Json second = observeResult();
  EXPECT_NE(first["observationId"], second["observationId"]);
  EXPECT_EQ(second["tree"][0]["ref"], "e1");
  EXPECT_EQ(h.runtime.observations().at(first["observationId"]).elements.at(0).title, "Untitled");
  EXPECT_EQ(h.runtime.observations().at(second["observationId"]).elements.at(0).title, "Renamed");
}

}  // namespace
}  // namespace qor
