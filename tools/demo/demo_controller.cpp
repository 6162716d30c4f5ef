// The demonstration controller: plays the part of the assistant that starts the bridge as a child
// process, and walks through one small piece of work in the GTK fixture: look at the window, press
// its button, type into its name field, look again, take a picture of the window and let it go.
//
//   qor-demo BRIDGE FIXTURE SAVE_CAPTURE_TO
//
// Runs inside a private desktop session (scripts/desktop-session.sh; scripts/demo.sh sets it up).
// Exits 0 when every step answered as expected, 1 with the reason otherwise.

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"
#include "core/json.h"
#include "presentation.h"

namespace qor::demo {
namespace {

using namespace std::chrono_literals;

const char* const kFixtureID = "dev.qor.Fixture";
const char* const kTypedText = " Lovelace";  // appended to the fixture's "Ada"

// A step that did not answer as it should; the demonstration stops with this message.
struct DemoFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- the element tree of an observation ----

void collectNodes(const Json& list, std::vector<Json>& nodes) {
  for (const Json& node : list) {
    nodes.push_back(node);
    if (node.contains("children")) {
      collectNodes(node["children"], nodes);
    }
  }
}

// Every node of the tree, depth first, in the order the bridge walked them.
std::vector<Json> allNodes(const Json& tree) {
  std::vector<Json> nodes;
  collectNodes(tree, nodes);
  return nodes;
}

std::optional<Json> findNode(const Json& tree, const std::function<bool(const Json&)>& matches) {
  for (const Json& node : allNodes(tree)) {
    if (matches(node)) {
      return node;
    }
  }
  return std::nullopt;
}

bool hasRole(const Json& node, const char* role) {
  return node.value("role", "") == role;
}

// The parts of the fixture this demonstration works with, found in an observation.
struct FixtureParts {
  Json countButton;  // "Count Click"
  Json counter;      // the label "Clicks: N" beside it
  Json nameField;    // the text field on the row of the label "Name"
};

FixtureParts findParts(const Json& tree) {
  std::optional<Json> button = findNode(tree, [](const Json& node) {
    return hasRole(node, "AXButton") && node.value("title", "") == "Count Click";
  });
  std::optional<Json> counter = findNode(tree, [](const Json& node) {
    return hasRole(node, "AXStaticText") && node.value("title", "").starts_with("Clicks:");
  });
  std::optional<Json> nameLabel = findNode(tree, [](const Json& node) {
    return hasRole(node, "AXStaticText") && node.value("title", "") == "Name";
  });
  if (!button || !counter || !nameLabel) {
    throw DemoFailure("the observation does not show the fixture's button, counter and Name label");
  }
  // GTK gives the entry no name of its own; its label sits on the same row, so they share a top
  // edge and a height.
  std::optional<Json> field = findNode(tree, [&](const Json& node) {
    return hasRole(node, "AXTextField") && !node.value("secure", false) && node.contains("frame") &&
           node["frame"]["y"] == (*nameLabel)["frame"]["y"] &&
           node["frame"]["height"] == (*nameLabel)["frame"]["height"];
  });
  if (!field) {
    throw DemoFailure("the observation shows no text field beside the label Name");
  }
  return {*button, *counter, *field};
}

using NodeFilter = std::function<bool(const Json&)>;

// The roles a person looks for first in a window; the rest is layout.
bool isInteresting(const Json& node) {
  static const std::set<std::string> roles = {"AXWindow",    "AXButton",      "AXCheckBox",
                                              "AXTextField", "AXTextArea",    "AXSlider",
                                              "AXMenuBar",   "AXMenuBarItem", "AXStaticText"};
  return roles.contains(node.value("role", ""));
}

// The button, the counter, and the fixture's only readable single-line text field (Name).
bool isWorkedOn(const Json& node) {
  return (hasRole(node, "AXButton") && node.value("title", "") == "Count Click") ||
         (hasRole(node, "AXStaticText") && node.value("title", "").starts_with("Clicks:")) ||
         (hasRole(node, "AXTextField") && !node.value("secure", false));
}

// The observation with its tree replaced by a count, and one line per node worth showing.
std::pair<Json, std::vector<std::string>> summariseObservation(const Json& response,
                                                               const NodeFilter& worthShowing) {
  Json shown = response;
  std::vector<std::string> notes;
  if (!response.contains("result")) {
    return {shown, notes};
  }
  std::vector<Json> nodes = allNodes(response["result"]["tree"]);
  for (const Json& node : nodes) {
    if (worthShowing(node)) {
      notes.push_back(describeNode(node));
    }
  }
  shown["result"]["tree"] = "(" + std::to_string(nodes.size()) + " element nodes; " +
                            std::to_string(notes.size()) + " of them below)";
  return {shown, notes};
}

// The application list with one line per application instead of one object.
std::pair<Json, std::vector<std::string>> summariseApplications(const Json& response) {
  Json shown = response;
  std::vector<std::string> notes;
  if (!response.contains("result")) {
    return {shown, notes};
  }
  const Json& applications = response["result"]["applications"];
  std::size_t width = 0;
  for (const Json& app : applications) {
    width = std::max(width, app.value("bundleId", "").size());
  }
  for (const Json& app : applications) {
    std::string id = app.value("bundleId", "");
    std::string line = id + std::string(width - id.size(), ' ') + "  " + app["name"].dump();
    if (app.value("running", false)) {
      line +=
          "  running, pid " + app["pid"].dump() + (app.value("active", false) ? ", active" : "");
    } else {
      line += "  installed";
    }
    notes.push_back(line);
  }
  shown["result"]["applications"] =
      "(" + std::to_string(applications.size()) + " applications, one per line below)";
  return {shown, notes};
}

// ---- the conversation with the bridge ----

class Conversation {
 public:
  explicit Conversation(ChildProcess& bridge) : bridge_(bridge) {}

  // Shows the next step's heading.
  void announce(std::string_view name, std::string_view explanation) {
    showStep(++step_, name, explanation);
  }

  // Shows the step, sends the request and returns the bridge's response to it.
  Json exchange(std::string_view explanation, const std::string& method, const Json& params = {}) {
    announce(method, explanation);
    Json request = {{"id", nextID_}, {"method", method}};
    if (!params.is_null()) {
      request["params"] = params;
    }
    showRequest(request);
    bridge_.writeLine(wire::serialize(request));
    return awaitResponse(nextID_++, method);
  }

  // Returns the result of a response that must have succeeded.
  static Json resultOf(const Json& response, const std::string& method) {
    if (response.contains("result")) {
      return response["result"];
    }
    if (!response.contains("error")) {
      throw DemoFailure(method + " was answered with neither a result nor an error");
    }
    const Json& error = response["error"];
    throw DemoFailure(method + " failed: " + error.value("code", "") + ": " +
                      error.value("message", ""));
  }

 private:
  Json awaitResponse(long long id, const std::string& method) {
    for (;;) {
      std::optional<std::string> line = bridge_.readLine(30s);
      if (!line) {
        throw DemoFailure("the bridge did not answer " + method + " within 30 seconds");
      }
      std::optional<Json> response = wire::parse(*line);
      if (response && response->is_object() && response->value("id", Json()) == Json(id)) {
        return *response;
      }
    }
  }

  ChildProcess& bridge_;
  int step_ = 0;
  long long nextID_ = 1;
};

// ---- the steps ----

struct Paths {
  std::string bridge;
  std::string fixture;
  std::string savedCapture;
};

void askCapabilities(Conversation& talk) {
  Json response = talk.exchange(
      "What this bridge offers: its protocol, platform, methods and private capture folder.",
      "capabilities");
  showResponse(response);
  Conversation::resultOf(response, "capabilities");
}

void checkPermissions(Conversation& talk) {
  Json response = talk.exchange(
      "Whether it may read other applications (accessibility) and the screen (screenCapture).",
      "permissions.status");
  showResponse(response);
  Json result = Conversation::resultOf(response, "permissions.status");
  if (result.value("accessibility", false) != true ||
      result.value("screenCapture", false) != true) {
    throw DemoFailure("the private session should grant both permissions");
  }
}

void listApplications(Conversation& talk) {
  Json response = talk.exchange(
      "The applications installed (desktop entries) and running (windows, accessibility bus).",
      "apps.list");
  auto [shown, notes] = summariseApplications(response);
  showResponse(shown, notes);
  Json result = Conversation::resultOf(response, "apps.list");
  bool fixtureRuns = false;
  for (const Json& app : result["applications"]) {
    fixtureRuns =
        fixtureRuns || (app.value("bundleId", "") == kFixtureID && app.value("running", false));
  }
  if (!fixtureRuns) {
    throw DemoFailure("the fixture is not listed as running");
  }
}

Json observe(Conversation& talk, std::string_view explanation, const NodeFilter& worthShowing) {
  Json response = talk.exchange(explanation, "app.observe", {{"bundleId", kFixtureID}});
  auto [shown, notes] = summariseObservation(response, worthShowing);
  showResponse(shown, notes);
  return Conversation::resultOf(response, "app.observe");
}

// A point in the observed window's own coordinates ("windowPoints"): the centre of `node`.
Json centreOf(const Json& node, const Json& windowFrame) {
  const Json& frame = node["frame"];
  return {{"x", frame["x"].get<double>() + frame["width"].get<double>() / 2 -
                    windowFrame["x"].get<double>()},
          {"y", frame["y"].get<double>() + frame["height"].get<double>() / 2 -
                    windowFrame["y"].get<double>()}};
}

Json observedWindowFrame(const Json& observed) {
  for (const Json& window : observed["windows"]) {
    if (window["windowId"] == observed["windowId"]) {
      return window["frame"];
    }
  }
  throw DemoFailure("the observation names no window frame");
}

Json clickAt(const Json& point) {
  return {{"type", "click"}, {"x", point["x"]}, {"y", point["y"]}};
}

// Presses the button twice (once through Accessibility, once with a real click at its centre),
// then clicks into the name field and types. The closing wait gives the fixture time to handle
// the typed keys, which reach it through the X server after the batch sent them.
void act(Conversation& talk, const Json& observed, const FixtureParts& parts) {
  Json windowFrame = observedWindowFrame(observed);
  Json actions = Json::array({
      {{"type", "ax"}, {"ref", parts.countButton["ref"]}, {"action", "AXPress"}},
      clickAt(centreOf(parts.countButton, windowFrame)),
      clickAt(centreOf(parts.nameField, windowFrame)),
      {{"type", "type"}, {"text", kTypedText}},
      {{"type", "wait"}, {"milliseconds", 200}},
  });
  Json response = talk.exchange(
      "One batch on that observation: press \"Count Click\" by its reference " +
          parts.countButton.value("ref", "") + ", click it at its centre, click into the Name " +
          "field " + parts.nameField.value("ref", "") + ", type, and wait a moment. \"focus\" " +
          "brings the window to the front first.",
      "app.act",
      {{"bundleId", kFixtureID},
       {"observationId", observed["observationId"]},
       {"focus", true},
       {"actions", actions}});
  showResponse(response);
  if (!response.contains("result")) {
    const Json& error = response["error"];
    throw DemoFailure("app.act stopped at action " +
                      error["details"].value("failedIndex", Json()).dump() + " (" +
                      error.value("code", "") + ": " + error.value("message", "") + ")");
  }
}

// Observes the fixture after the batch: the counter must read 2 and the name field must hold the
// typed text.
void observeOutcome(Conversation& talk) {
  const std::string expectedCounter = "Clicks: 2";
  const std::string expectedName = std::string("Ada") + kTypedText;
  Json observed = observe(
      talk, "Look again: the counter and the Name field show what the batch did.", isWorkedOn);
  FixtureParts parts = findParts(observed["tree"]);
  showNote("Counter now " + parts.counter["title"].dump() + ", Name field now " +
           parts.nameField.value("value", Json()).dump() + ".");
  if (parts.counter.value("title", "") != expectedCounter ||
      parts.nameField.value("value", "") != expectedName) {
    throw DemoFailure("expected \"" + expectedCounter + "\" and \"" + expectedName +
                      "\" after the batch");
  }
}

void captureAndRelease(Conversation& talk, const std::string& savedCapture) {
  Json response = talk.exchange(
      "A picture of the fixture's window, written as a PNG file into the bridge's private folder.",
      "window.capture", {{"bundleId", kFixtureID}});
  showResponse(response);
  std::string path = Conversation::resultOf(response, "window.capture").value("path", "");
  std::filesystem::copy_file(path, savedCapture, std::filesystem::copy_options::overwrite_existing);
  showNote("Copied to " + savedCapture + " before the bridge deletes it.");

  Json released = talk.exchange(
      "Done with the picture: the bridge deletes it (it only ever deletes files it wrote itself).",
      "capture.release", {{"path", path}});
  showResponse(released);
  Conversation::resultOf(released, "capture.release");
  if (std::filesystem::exists(path)) {
    throw DemoFailure("the released capture is still on disk");
  }
}

void finish(Conversation& talk, ChildProcess& bridge) {
  talk.announce(
      "end of input",
      "Closing the bridge's standard input: it finishes, removes its capture folder and exits.");
  std::optional<int> status = bridge.closeInputAndWait(10s);
  if (status != 0) {
    throw DemoFailure("the bridge did not exit with status 0");
  }
  showNote("The bridge exited with status 0.");
}

std::unique_ptr<ChildProcess> startFixture(const std::string& path) {
  showNote("Starting the fixture " + path + " ...");
  auto fixture = std::make_unique<ChildProcess>(std::vector<std::string>{path}, Input::Closed);
  std::optional<std::string> ready = fixture->readLine(30s);
  if (!ready || !ready->starts_with("ready ")) {
    throw DemoFailure("the fixture did not show its window within 30 seconds");
  }
  showNote("The fixture shows its window (process " + std::to_string(fixture->pid()) + ").");
  return fixture;
}

void run(const Paths& paths) {
  showTitle("qor-native demonstration: a controller drives the GTK fixture through the bridge");
  auto fixture = startFixture(paths.fixture);
  ChildProcess bridge({paths.bridge}, Input::Pipe);
  showNote("Started the bridge " + paths.bridge + " (process " + std::to_string(bridge.pid()) +
           "); requests go to its standard input, one JSON object per line.");
  Conversation talk(bridge);

  askCapabilities(talk);
  checkPermissions(talk);
  listApplications(talk);
  Json observed = observe(talk,
                          "Read the fixture's window: every element gets a reference (e1, e2, ...) "
                          "that actions can name for the next two minutes.",
                          isInteresting);
  FixtureParts parts = findParts(observed["tree"]);
  act(talk, observed, parts);
  observeOutcome(talk);
  captureAndRelease(talk, paths.savedCapture);
  finish(talk, bridge);
  showSuccess("Demonstration complete.");
  showNote("The window capture is at " + paths.savedCapture);
}

}  // namespace
}  // namespace qor::demo

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: " << argv[0] << " BRIDGE FIXTURE SAVE_CAPTURE_TO\n";
    return 2;
  }
  // A bridge that stops reading must not end the controller silently; the write reports it.
  signal(SIGPIPE, SIG_IGN);
  try {
    qor::demo::run({argv[1], argv[2], argv[3]});
    return 0;
  } catch (const std::exception& failure) {
    qor::demo::showProblem(std::string("Demonstration failed: ") + failure.what());
    return 1;
  }
}
