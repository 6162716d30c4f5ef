// Element actions, application events, documents and icons of the product executable on the
// Linux desktop, driven through its pipes against the fixture in a private session.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::nodesWhere;

constexpr const char* kFixtureID = "dev.qor.Fixture";

using desktoptest::failure;
using desktoptest::result;

// An observation of the fixture's main window.
Json observeFixture(Bridge& bridge) {
  return result(bridge.request("app.observe", {{"bundleId", kFixtureID}}));
}

// The one element of an observation that `matches` picks.
Json only(const Json& observation, const std::function<bool(const Json&)>& matches) {
  std::vector<Json> found = nodesWhere(observation["tree"], matches);
  EXPECT_EQ(found.size(), 1u) << observation["tree"].dump();
  return found.empty() ? Json::object() : found.front();
}

std::function<bool(const Json&)> roleAndTitle(const std::string& role, const std::string& title) {
  return [=](const Json& node) {
    return node.value("role", "") == role && node.value("title", "") == title;
  };
}

std::function<bool(const Json&)> roleAndValue(const std::string& role, const Json& value) {
  return [=](const Json& node) {
    return node.value("role", "") == role && node.value("value", Json()) == value;
  };
}

Json act(Bridge& bridge, const Json& observation, const Json& action) {
  return bridge.request("app.act", {{"bundleId", kFixtureID},
                                    {"observationId", observation["observationId"]},
                                    {"actions", Json::array({action})}});
}

// Observes until `matches` finds an element: toolkits may carry out an accepted action a
// moment after they answered.
bool observedEventually(Bridge& bridge, const std::function<bool(const Json&)>& matches) {
  Json observed = desktoptest::observeUntil(
      bridge, kFixtureID, [&](const Json& o) { return !nodesWhere(o["tree"], matches).empty(); });
  return !nodesWhere(observed["tree"], matches).empty();
}

TEST(ServicesEndToEnd, SetValueFillsTextAndNumbersButNeverAPassword) {
  auto fixture = desktoptest::startFixture();
  Bridge bridge;
  Json observed = observeFixture(bridge);
  Json name = only(observed, roleAndValue("AXTextField", "Ada"));
  Json done = result(act(bridge, observed,
                         {{"type", "setValue"}, {"ref", name["ref"]}, {"value", "Grace Hopper"}}));
  EXPECT_EQ(done["actions"][0]["status"], "dispatched");
  EXPECT_EQ(done["requiresObservation"], true);
  EXPECT_TRUE(observedEventually(bridge, roleAndValue("AXTextField", "Grace Hopper")));
  observed = observeFixture(bridge);
  name = only(observed, roleAndValue("AXTextField", "Grace Hopper"));
  result(act(bridge, observed, {{"type", "setValue"}, {"ref", name["ref"]}, {"value", ""}}));
  EXPECT_TRUE(observedEventually(bridge, roleAndValue("AXTextField", "")));

  observed = observeFixture(bridge);
  Json volume = only(observed, roleAndValue("AXSlider", 30.0));
  result(act(bridge, observed, {{"type", "setValue"}, {"ref", volume["ref"]}, {"value", "55"}}));
  EXPECT_TRUE(observedEventually(bridge, roleAndValue("AXSlider", 55.0)));

  observed = observeFixture(bridge);
  volume = only(observed, roleAndValue("AXSlider", 55.0));
  Json notANumber = failure(
      act(bridge, observed, {{"type", "setValue"}, {"ref", volume["ref"]}, {"value", "loud"}}));
  EXPECT_EQ(notANumber["code"], "accessibilityActionFailed");
  EXPECT_EQ(notANumber["message"], "Control value could not be set");
  EXPECT_EQ(notANumber["details"]["axError"], -25201);  // illegal argument
  EXPECT_EQ(notANumber["details"]["failedIndex"], 0);

  observed = observeFixture(bridge);
  Json password = only(observed, [](const Json& node) { return node.contains("secure"); });
  Json refused = failure(act(
      bridge, observed, {{"type", "setValue"}, {"ref", password["ref"]}, {"value", "letmein"}}));
  EXPECT_EQ(refused["code"], "userInputRequired");
  EXPECT_EQ(refused["message"], "Enter credentials in the selected application");

  observed = observeFixture(bridge);
  Json check = only(observed, roleAndTitle("AXCheckBox", "Remember me"));
  Json noValue =
      failure(act(bridge, observed, {{"type", "setValue"}, {"ref", check["ref"]}, {"value", "0"}}));
  EXPECT_EQ(noValue["code"], "accessibilityActionFailed");
  EXPECT_EQ(noValue["details"]["axError"], -25205);  // no writable value
}

TEST(ServicesEndToEnd, AxPerformsTheElementsActionsAndRefusesOthers) {
  auto fixture = desktoptest::startFixture();
  auto xterm = desktoptest::startStock({"xterm"});  // in front: element actions need no focus
  Bridge bridge;
  Json observed = observeFixture(bridge);
  Json button = only(observed, roleAndTitle("AXButton", "Count Click"));
  EXPECT_EQ(button["actions"], Json::array({"AXPress"}));
  Json done = result(
      act(bridge, observed, {{"type", "ax"}, {"ref", button["ref"]}, {"action", "AXPress"}}));
  EXPECT_EQ(done["actions"][0]["type"], "ax");
  EXPECT_TRUE(observedEventually(bridge, roleAndTitle("AXStaticText", "Clicks: 1")));

  // The toolkit's own name works as well.
  observed = observeFixture(bridge);
  button = only(observed, roleAndTitle("AXButton", "Count Click"));
  result(act(bridge, observed, {{"type", "ax"}, {"ref", button["ref"]}, {"action", "click"}}));
  EXPECT_TRUE(observedEventually(bridge, roleAndTitle("AXStaticText", "Clicks: 2")));

  observed = observeFixture(bridge);
  button = only(observed, roleAndTitle("AXButton", "Count Click"));
  Json refused = failure(
      act(bridge, observed, {{"type", "ax"}, {"ref", button["ref"]}, {"action", "AXIncrement"}}));
  EXPECT_EQ(refused["code"], "accessibilityActionFailed");
  EXPECT_EQ(refused["message"], "Control did not accept the action");
  EXPECT_EQ(refused["details"]["axError"], -25206);  // action unsupported
  EXPECT_EQ(refused["details"]["completedActions"], Json::array());
  EXPECT_TRUE(nodesWhere(observeFixture(bridge)["tree"], roleAndTitle("AXStaticText", "Clicks: 2"))
                  .size() == 1u);
}

// A private folder for one test's documents, removed with everything in it afterwards.
class DocumentFolder {
 public:
  DocumentFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "qor-documents-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~DocumentFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string write(const std::string& name, const std::string& text) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    return file;
  }

 private:
  std::string path_;
};

Json appleEvent(Bridge& bridge, const std::string& eventClass, const std::string& eventID,
                const Json& parameters = Json::object()) {
  return bridge.request("app.appleEvent", {{"bundleId", kFixtureID},
                                           {"eventClass", eventClass},
                                           {"eventId", eventID},
                                           {"parameters", parameters}});
}

// Observes until the fixture has a window titled `title` and gives its number.
std::optional<std::int64_t> windowEventually(Bridge& bridge, const std::string& title) {
  auto titled = [&](const Json& observed) -> std::optional<std::int64_t> {
    for (const Json& window : observed.value("windows", Json::array())) {
      if (window.value("title", "") == title) {
        return window["windowId"].get<std::int64_t>();
      }
    }
    return std::nullopt;
  };
  return titled(desktoptest::observeUntil(bridge, kFixtureID,
                                          [&](const Json& o) { return titled(o).has_value(); }));
}

// Whether the document window titled `title` shows `firstLine`.
bool showsDocument(Bridge& bridge, const std::string& title, const std::string& firstLine) {
  std::optional<std::int64_t> window = windowEventually(bridge, title);
  if (!window) {
    return false;
  }
  auto shown = [&](const Json& observed) {
    return !nodesWhere(observed["tree"], roleAndTitle("AXStaticText", firstLine)).empty();
  };
  return shown(desktoptest::observeUntil(
      bridge, Json{{"bundleId", kFixtureID}, {"windowId", *window}}, shown));
}

TEST(ServicesEndToEnd, ApplicationEventsReachTheApplicationOverDBus) {
  auto fixture = desktoptest::startFixture();
  std::vector<unsigned long> fixtureWindows = desktoptest::windowsOf(fixture->pid());
  ASSERT_EQ(fixtureWindows.size(), 1u);
  auto xterm = desktoptest::startStock({"xterm"});
  Bridge bridge;

  Json opened = result(appleEvent(bridge, "aevt", "oapp"));
  EXPECT_EQ(opened["bundleId"], kFixtureID);
  EXPECT_EQ(opened["pid"], fixture->pid());
  // A reply without a direct object: the reply event itself.
  EXPECT_EQ(opened["reply"]["descriptorType"], 0x61657674);  // 'aevt'
  EXPECT_TRUE(desktoptest::waitUntil(
      [&] { return desktoptest::activeWindow() == std::to_string(fixtureWindows[0]); }));
  EXPECT_EQ(result(appleEvent(bridge, "aevt", "rapp"))["pid"], fixture->pid());

  DocumentFolder folder;
  std::string notes = folder.write("meeting notes.txt", "Agenda: ship it\nSecond line\n");
  std::string list = folder.write("list.txt", "milk\n");
  result(appleEvent(bridge, "aevt", "odoc",
                    {{"----",
                      {{"type", "list"},
                       {"value", Json::array({Json{{"type", "file"}, {"value", notes}},
                                              Json{{"type", "string"}, {"value", list}}})}}}}));
  EXPECT_TRUE(showsDocument(bridge, "meeting notes.txt", "Agenda: ship it"));
  EXPECT_TRUE(showsDocument(bridge, "list.txt", "milk"));

  Json notHandled = failure(appleEvent(bridge, "core", "getd"));
  EXPECT_EQ(notHandled["code"], "appleEventFailed");
  EXPECT_EQ(notHandled["message"], "Application rejected Apple Event");
  EXPECT_EQ(notHandled["details"]["status"], -1708);
  Json nothingToOpen = failure(appleEvent(bridge, "aevt", "odoc"));
  EXPECT_EQ(nothingToOpen["details"]["status"], -1701);

  // An application that does not answer in time: a platform error after the time-out.
  kill(fixture->pid(), SIGSTOP);
  Json late = failure(bridge.request("app.appleEvent", {{"bundleId", kFixtureID},
                                                        {"eventClass", "aevt"},
                                                        {"eventId", "oapp"},
                                                        {"timeoutSeconds", 1}}));
  kill(fixture->pid(), SIGCONT);
  EXPECT_EQ(late["code"], "operationFailed");
  EXPECT_EQ(late["message"], "The application did not answer within 1 second");

  result(appleEvent(bridge, "aevt", "quit"));
  EXPECT_TRUE(fixture->exitsWithin(std::chrono::seconds(10)));
}

// Where the fixture's desktop entry and icon can be found, ahead of the system's.
std::string dataDirectories() {
  const char* system = std::getenv("XDG_DATA_DIRS");
  return "XDG_DATA_DIRS=" + desktoptest::fixtureDataDirectory() + ":" +
         (system && *system ? system : "/usr/local/share:/usr/share");
}

std::string fromBase64(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    std::size_t value = kAlphabet.find(c);
    if (value == std::string::npos) {
      continue;  // padding
    }
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return bytes;
}

TEST(ServicesEndToEnd, ListsTheFixtureWithItsThemeIconAsA64PointPNG) {
  Bridge bridge({dataDirectories()});
  Json listed = result(bridge.request("apps.list", {{"includeIcons", true}}));
  Json fixture;
  for (const Json& app : listed["applications"]) {
    if (app.value("bundleId", "") == kFixtureID) {
      fixture = app;
    }
  }
  ASSERT_TRUE(fixture.is_object()) << listed.dump();
  const std::string prefix = "data:image/png;base64,";
  std::string icon = fixture.value("icon", "");
  ASSERT_TRUE(icon.starts_with(prefix));
  std::string png = fromBase64(icon.substr(prefix.size()));
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");

  // The image itself, as an independent reader sees it: 64 x 64, the icon's blue in the middle.
  DocumentFolder folder;
  std::string file = folder.write("icon.png", png);
  std::optional<std::string> described = desktoptest::run(
      {"convert", file, "-format", "%w %h %[pixel:p{32,32}] %[pixel:p{0,0}]", "info:"});
  ASSERT_TRUE(described);
  EXPECT_TRUE(described->starts_with("64 64 ")) << *described;
  EXPECT_NE(described->find("37,99,235"), std::string::npos) << *described;
  EXPECT_TRUE(described->ends_with(" srgba(0,0,0,0)")) << *described;  // transparent corner

  Json plain = result(bridge.request("apps.list", {{"includeIcons", false}}));
  for (const Json& app : plain["applications"]) {
    EXPECT_FALSE(app.contains("icon"));
  }
}

TEST(ServicesEndToEnd, OpensDocumentsInTheApplicationStartingItWhenNeeded) {
  DocumentFolder folder;
  std::string notes = folder.write("meeting notes.txt", "Agenda: ship it\n");
  std::string list = folder.write("list.txt", "milk\n");
  Bridge bridge({dataDirectories()});

  Json started = result(bridge.request(
      "app.openDocuments", {{"bundleId", kFixtureID}, {"paths", Json::array({notes})}}));
  ASSERT_TRUE(started.contains("pid"));
  pid_t pid = started["pid"].get<pid_t>();
  EXPECT_EQ(started["openedPaths"], Json::array({notes}));
  EXPECT_TRUE(showsDocument(bridge, "meeting notes.txt", "Agenda: ship it"));

  // The running instance takes the next documents: no second instance appears.
  Json handedOver = result(bridge.request(
      "app.openDocuments",
      {{"bundleId", kFixtureID}, {"paths", Json::array({list, list})}, {"activate", false}}));
  EXPECT_EQ(handedOver["pid"], pid);
  EXPECT_EQ(handedOver["openedPaths"], Json::array({list, list}));
  EXPECT_TRUE(showsDocument(bridge, "list.txt", "milk"));

  for (const Json& paths : {Json::array({"list.txt"}), Json::array(), Json::array({notes + "x"})}) {
    Json refused =
        failure(bridge.request("app.openDocuments", {{"bundleId", kFixtureID}, {"paths", paths}}));
    EXPECT_EQ(refused["code"], "invalidArgument");
    EXPECT_EQ(refused["message"],
              "Supply installed bundleId and 1...50 existing absolute document paths");
  }
  desktoptest::endProcess(pid);
}

}  // namespace
}  // namespace qor
