// The toolkit matrix: the same checks of observing, element actions, value writes, typing and
// capture, run over one application per toolkit (GTK 3, GTK 4, Qt 5, two browsers on a page
// written here, a word processor), each in its own desktop session. A row leaves out the checks
// its application has no control for.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "desktop/support/desktop_support.h"

namespace qor {
namespace {

using desktoptest::Bridge;
using desktoptest::clickAt;
using desktoptest::errorCode;
using desktoptest::nodesWhere;
namespace fs = std::filesystem;

// Accents, a combining mark and an emoji: each takes a keysym the US keyboard lacks.
const char* const kTypedText = "héllo wörld 👋 e\u0301";

// A control of a row: the node with this role and title (its value when `byValue`). An empty
// title stands for the first node of the role that is secure when `secure`, else not.
struct Control {
  std::string role;
  std::string title;
  bool byValue = false;
  bool secure = false;
};

// A control pressed once by a click at its centre, then once by "AXPress"; `shows` names what
// each press makes appear (role and title or value).
struct Press {
  Control control;
  std::array<Control, 2> shows;
};

struct Toolkit {
  std::string name;
  // "{page}" stands for the test page's URL, "{profile}" for a fresh folder.
  std::vector<std::string> command;
  std::vector<std::string> environment;
  std::optional<Press> press;
  std::optional<Control> checkBox;
  std::optional<Control> textField;
  std::optional<Control> password;
  // Whether the text field takes "setValue": the browsers offer no working EditableText
  // (Chromium none, Firefox one that changes nothing), so the bridge refuses there.
  bool setsText = true;
  // For a command that hands over to another process (LibreOffice's launcher): the window
  // class of the application's window, which names the process to drive.
  std::string windowClass;
  // Whether the window is moved away from where the window manager placed it before the checks
  // (Firefox's window does not follow a move request in the test session).
  bool moved = false;
  // Whether every control of the page carries its title in every observation that shows it,
  // the first after the page loads included (a browser fills titles in after its fields).
  bool titledOnFirstLook = false;
  // How long the application may take to show its controls after its window appeared, on a
  // busy machine (only a failing row waits this long).
  std::chrono::milliseconds firstLook = desktoptest::kPatience;
};

// clang-format off
const char* const kPage = R"html(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Matrix Page</title></head>
<body>
<button onclick="document.title = 'Pressed ' + (++window.presses)">Count Press</button>
<script>window.presses = 0;</script>
<p><label><input type="checkbox"> Remember me</label></p>
<p><label>Name <input type="text" value="Ada"></label></p>
<p><label>Password <input type="password"></label></p>
</body></html>
)html";
// clang-format on

// A browser on the test page. Pressing the page's button renames the page, which its web area
// shows as its title. The browsers offer no working EditableText: "setValue" is refused.
Toolkit browser(std::string name, std::vector<std::string> command,
                std::vector<std::string> environment) {
  Toolkit row;
  row.name = std::move(name);
  row.command = std::move(command);
  row.environment = std::move(environment);
  row.press = Press{{"AXButton", "Count Press"},
                    {Control{"AXWebArea", "Pressed 1"}, Control{"AXWebArea", "Pressed 2"}}};
  row.checkBox = Control{"AXCheckBox", "Remember me"};
  row.textField = Control{"AXTextField", "Name"};
  row.password = Control{"AXTextField", "Password"};
  row.setsText = false;
  row.firstLook = std::chrono::seconds(60);
  return row;
}

std::vector<Toolkit> toolkits() {
  std::vector<Toolkit> rows;
  {
    Toolkit& row = rows.emplace_back();
    row.name = "Gtk3";
    row.command = {desktoptest::fixtureBinary()};
    row.press = Press{{"AXButton", "Count Click"},
                      {Control{"AXStaticText", "Clicks: 1"}, Control{"AXStaticText", "Clicks: 2"}}};
    row.checkBox = Control{"AXCheckBox", "Remember me"};
    row.textField = Control{"AXTextField", ""};
    row.password = Control{"AXTextField", "", false, true};
    row.moved = true;
  }
  {
    Toolkit& row = rows.emplace_back();
    row.name = "Gtk4";
    row.command = {"gnome-calculator"};
    row.press = Press{{"AXButton", "1 1"},
                      {Control{"AXTextArea", "1", true}, Control{"AXTextArea", "11", true}}};
    row.textField = Control{"AXTextArea", "GtkSourceView"};
    row.moved = true;
  }
  {
    Toolkit& row = rows.emplace_back();
    row.name = "Qt5";
    row.command = {"featherpad"};
    row.environment = {"QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "QT_ACCESSIBILITY=1"};
    row.textField = Control{"AXTextArea", ""};
    row.moved = true;
  }
  rows.push_back(browser("Firefox",
                         {"firefox-esr", "-profile", "{profile}", "-no-remote", "{page}"},
                         {"GNOME_ACCESSIBILITY=1"}));
  rows.back().titledOnFirstLook = true;
  rows.push_back(
      browser("Chromium",
              {"chromium", "--no-sandbox", "--force-renderer-accessibility", "--disable-gpu",
               "--no-first-run", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--user-data-dir={profile}", "{page}"},
              {}));
  {
    Toolkit& row = rows.emplace_back();
    row.name = "LibreOfficeWriter";
    row.command = {"lowriter", "--norestore", "--nologo", "-env:UserInstallation=file://{profile}"};
    row.windowClass = "libreoffice-writer";
    row.environment = {"SAL_USE_VCLPLUGIN=gtk3"};
    row.checkBox = Control{"AXCheckBox", "Formatting Marks"};
    row.textField = Control{"AXTextArea", ""};
    row.firstLook = std::chrono::seconds(60);
  }
  return rows;
}

// The folders and the page a row's application is started with.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/qor-matrix.XXXXXX";
    root_ = mkdtemp(pattern);
    fs::create_directories(root_ / "profile");
    std::ofstream(root_ / "page.html") << kPage;
    desktoptest::writeFirefoxProfile(root_ / "profile");
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::vector<std::string> expand(std::vector<std::string> command) const {
    for (std::string& argument : command) {
      replace(argument, "{page}", "file://" + (root_ / "page.html").string());
      replace(argument, "{profile}", (root_ / "profile").string());
    }
    return command;
  }

 private:
  static void replace(std::string& text, const std::string& name, const std::string& value) {
    if (std::size_t at = text.find(name); at != std::string::npos) {
      text.replace(at, name.size(), value);
    }
  }
  fs::path root_;
};

// The process of the first window of this class, once one shows (0 when none does in time).
pid_t ownerOfWindow(const std::string& windowClass) {
  std::optional<std::string> windows = desktoptest::run(
      {"timeout", "60", "xdotool", "search", "--sync", "--onlyvisible", "--class", windowClass});
  std::istringstream found(windows.value_or(""));
  std::string window;
  if (!(found >> window)) {
    return 0;
  }
  desktoptest::run({"timeout", "20", "xdotool", "windowactivate", "--sync", window});
  desktoptest::waitUntil([&] { return desktoptest::activeWindow() == window; });
  std::optional<std::string> pid = desktoptest::run({"xdotool", "getwindowpid", window});
  return pid ? static_cast<pid_t>(std::stol(*pid)) : 0;
}

// Drives one application through the bridge, found by its process.
class Session {
 public:
  Session(Bridge& bridge, pid_t pid) : bridge_(bridge) {
    bundle_ = desktoptest::bundleIdOf(bridge_, pid);
    EXPECT_FALSE(bundle_.empty()) << "no application with pid " << pid;
  }

  Json observe() {
    Json response = bridge_.request("app.observe",
                                    {{"bundleId", bundle_}, {"maxNodes", 2000}, {"maxDepth", 30}});
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response.value("result", Json::object());
  }

  // Observes until `done` holds of an observation or `limit` has passed; the last observation.
  Json observeUntil(const std::function<bool(const Json&)>& done,
                    std::chrono::milliseconds limit = desktoptest::kPatience) {
    return desktoptest::waitUntil([this] { return observe(); }, done, limit);
  }

  Json act(const Json& observed, const Json& actions) {
    return bridge_.request("app.act", {{"bundleId", bundle_},
                                       {"observationId", observed["observationId"]},
                                       {"actions", actions}});
  }

  Json capture(const Json& observed) {
    return bridge_.request("window.capture",
                           {{"bundleId", bundle_}, {"windowId", observed["windowId"]}});
  }

 private:
  Bridge& bridge_;
  std::string bundle_;
};

std::vector<Json> matching(const Json& observed, const Control& control) {
  return nodesWhere(observed["tree"], [&](const Json& n) {
    if (n.value("role", "") != control.role) {
      return false;
    }
    if (control.title.empty()) {
      return n.contains("secure") == control.secure;
    }
    return control.byValue ? n.value("value", Json()) == control.title
                           : n.value("title", "") == control.title;
  });
}

bool shows(const Json& observed, const Control& control) {
  std::vector<Json> found = matching(observed, control);
  return !found.empty() && found.front().contains("frame");
}

// The first node matching the control; an empty object (and a failure) when none does.
Json find(const Json& observed, const Control& control) {
  std::vector<Json> found = matching(observed, control);
  EXPECT_FALSE(found.empty()) << control.role << " \"" << control.title << "\" not in "
                              << observed["tree"].dump().substr(0, 1500);
  return found.empty() ? Json::object() : found.front();
}

Json ax(const Json& node, const std::string& action) {
  return Json{{"type", "ax"}, {"ref", node.value("ref", "")}, {"action", action}};
}

// Every control of the row, with a frame: what a first look at a page may not have yet.
std::vector<Control> controlsOf(const Toolkit& row) {
  std::vector<Control> controls;
  for (const auto* control : {&row.checkBox, &row.textField, &row.password}) {
    if (*control) {
      controls.push_back(**control);
    }
  }
  if (row.press) {
    controls.push_back(row.press->control);
  }
  return controls;
}

class ToolkitMatrix : public testing::TestWithParam<Toolkit> {
 protected:
  void SetUp() override {
    const Toolkit& row = GetParam();
    pid_t pid = 0;
    if (row.windowClass.empty()) {
      application_ = desktoptest::startStock(scratch_.expand(row.command), row.environment);
      pid = application_->pid();
    } else {
      application_ =
          std::make_unique<desktoptest::Program>(scratch_.expand(row.command), row.environment);
      pid = ownerOfWindow(row.windowClass);
      ASSERT_GT(pid, 0) << "no window of class " << row.windowClass;
    }
    session_.emplace(bridge_, pid);
    observed_ = session_->observeUntil(
        [&](const Json& observed) {
          if (row.titledOnFirstLook) {
            expectPageControlsTitled(observed);
          }
          return controlsShown()(observed);
        },
        row.firstLook);
    if (row.moved) {
      moveWindow();
    }
  }

  std::function<bool(const Json&)> controlsShown() const {
    return [controls = controlsOf(GetParam())](const Json& observed) {
      return std::all_of(controls.begin(), controls.end(),
                         [&](const Control& c) { return shows(observed, c); });
    };
  }

  // Every node of the page with the role of one of the row's controls is one of them, title
  // included: a field is never reported without the title it has.
  void expectPageControlsTitled(const Json& observed) const {
    std::vector<Json> pages = nodesWhere(
        observed["tree"], [](const Json& n) { return n.value("role", "") == "AXWebArea"; });
    std::set<std::string> roles;
    std::set<std::string> titles;
    for (const Control& control : controlsOf(GetParam())) {
      roles.insert(control.role);
      titles.insert(control.title);
    }
    for (const Json& page : pages) {
      for (const Json& node : desktoptest::allNodes(page.value("children", Json::array()))) {
        if (roles.count(node.value("role", ""))) {
          EXPECT_TRUE(titles.count(node.value("title", ""))) << "untitled: " << node.dump();
        }
      }
    }
  }

  // Away from the screen's origin and from where the window manager placed it, so that a frame
  // counted from the wrong origin puts a click somewhere else.
  void moveWindow() {
    ASSERT_FALSE(observed_.value("windows", Json::array()).empty()) << observed_.dump();
    const Json window = observed_["windows"][0];
    ASSERT_TRUE(desktoptest::run({"timeout", "10", "xdotool", "windowmove", "--sync",
                                  std::to_string(window["windowId"].get<long long>()),
                                  std::to_string(kMovedX), std::to_string(kMovedY)}));
    auto movedAndShown = [this](const Json& observed) {
      const Json frame = observed.value("windows", Json::array()).empty()
                             ? Json::object()
                             : observed["windows"][0].value("frame", Json::object());
      return frame.value("x", 0.0) >= kMovedX && frame.value("y", 0.0) >= kMovedY &&
             controlsShown()(observed);
    };
    observed_ = session_->observeUntil(movedAndShown);
    ASSERT_TRUE(movedAndShown(observed_)) << observed_["windows"].dump();
  }

  // An observation that shows the control with a frame: after a press a page may be laid out
  // again.
  Json observeShowing(const Control& control) {
    return session_->observeUntil([&](const Json& o) { return shows(o, control); });
  }

  static constexpr int kMovedX = 140;
  static constexpr int kMovedY = 110;

  void checkObservation();
  void checkPresses();
  void checkPassword();
  void checkText();

  Scratch scratch_;
  std::unique_ptr<desktoptest::Program> application_;
  Bridge bridge_;
  std::optional<Session> session_;
  Json observed_;
};

// Roles, titles and frames of the row's controls; no secure value is ever read; no frame is a
// placeholder.
void ToolkitMatrix::checkObservation() {
  for (const Control& control : controlsOf(GetParam())) {
    Json node = find(observed_, control);
    ASSERT_TRUE(node.contains("frame")) << node.dump();
    EXPECT_GT(node["frame"]["width"].get<double>(), 1) << node.dump();
    EXPECT_GT(node["frame"]["height"].get<double>(), 1) << node.dump();
  }
  if (GetParam().password) {
    Json secret = find(observed_, *GetParam().password);
    EXPECT_EQ(secret.value("secure", false), true) << secret.dump();
    EXPECT_FALSE(secret.contains("value")) << secret.dump();
  }
  for (const Json& node : desktoptest::allNodes(observed_["tree"])) {
    if (node.contains("frame")) {
      EXPECT_GE(node["frame"]["width"].get<double>(), 0) << node.dump();
      EXPECT_GE(node["frame"]["height"].get<double>(), 0) << node.dump();
    }
  }

  // The window's capture: its size in points, one pixel per point.
  Json captured = session_->capture(observed_);
  ASSERT_TRUE(captured.contains("result")) << captured.dump();
  const Json& image = captured["result"];
  const Json& window = observed_["windows"][0]["frame"];
  EXPECT_EQ(image["frame"], window);
  EXPECT_EQ(image["width"], window["width"]);
  EXPECT_EQ(image["height"], window["height"]);
  EXPECT_EQ(image["scaleX"], 1.0);
  EXPECT_EQ(image["scaleY"], 1.0);
}

// A click at a control's centre takes effect (the frame is where the control is on screen),
// and so do "AXPress" on a button and on a check box.
void ToolkitMatrix::checkPresses() {
  const Toolkit& row = GetParam();
  if (row.press) {
    Json clicked = session_->act(
        observed_, Json::array({clickAt(observed_, find(observed_, row.press->control))}));
    ASSERT_TRUE(clicked.contains("result")) << clicked.dump();
    Json observed =
        session_->observeUntil([&](const Json& o) { return shows(o, row.press->shows[0]); });
    find(observed, row.press->shows[0]);
    Json pressed =
        session_->act(observed, Json::array({ax(find(observed, row.press->control), "AXPress")}));
    ASSERT_TRUE(pressed.contains("result")) << pressed.dump();
    find(session_->observeUntil([&](const Json& o) { return shows(o, row.press->shows[1]); }),
         row.press->shows[1]);
  }
  if (row.checkBox) {
    Json observed = observeShowing(*row.checkBox);
    Json box = find(observed, *row.checkBox);
    std::int64_t before = box.value("value", std::int64_t{-1});
    ASSERT_TRUE(before == 0 || before == 1) << box.dump();
    Json toggled = session_->act(observed, Json::array({ax(box, "AXPress")}));
    ASSERT_TRUE(toggled.contains("result")) << toggled.dump();
    observed = session_->observeUntil(
        [&](const Json& o) { return find(o, *row.checkBox).value("value", before) != before; });
    EXPECT_EQ(find(observed, *row.checkBox)["value"], 1 - before);
  }
}

// "setValue" writes a text field; a click into it and typing replaces that text exactly;
// "AXConfirm" is accepted where the field offers it.
void ToolkitMatrix::checkText() {
  const Toolkit& row = GetParam();
  if (!row.textField) {
    return;
  }
  auto fieldShows = [&](const std::string& text) {
    return [&row, text](const Json& o) {
      std::vector<Json> found = matching(o, *row.textField);
      return !found.empty() && found.front().value("value", Json()) == text;
    };
  };
  Json observed = observeShowing(*row.textField);
  Json field = find(observed, *row.textField);
  Json written = session_->act(
      observed, Json::array({Json{
                    {"type", "setValue"}, {"ref", field.value("ref", "")}, {"value", "Grace"}}}));
  if (row.setsText) {
    ASSERT_TRUE(written.contains("result")) << written.dump();
    observed = session_->observeUntil(fieldShows("Grace"));
    field = find(observed, *row.textField);
    EXPECT_EQ(field["value"], "Grace");
  } else {
    EXPECT_EQ(errorCode(written), "accessibilityActionFailed") << written.dump();
    observed = observeShowing(*row.textField);
    field = find(observed, *row.textField);
  }

  // Typed at the end of what the field holds: a word processor capitalises the start of a
  // sentence.
  const std::string expected = field.value("value", "") + kTypedText;
  Json clicked = session_->act(observed, Json::array({clickAt(observed, field)}));
  ASSERT_TRUE(clicked.contains("result")) << clicked.dump();
  Json typed = session_->act(session_->observe(),
                             Json::array({Json{{"type", "key"}, {"key", "end"}},
                                          Json{{"type", "type"}, {"text", kTypedText}}}));
  ASSERT_TRUE(typed.contains("result")) << typed.dump();
  observed = session_->observeUntil(fieldShows(expected));
  EXPECT_EQ(find(observed, *row.textField)["value"], expected);

  field = find(observed, *row.textField);
  std::vector<std::string> actions = field.value("actions", std::vector<std::string>{});
  if (std::find(actions.begin(), actions.end(), "AXConfirm") != actions.end()) {
    Json confirmed = session_->act(observed, Json::array({ax(field, "AXConfirm")}));
    EXPECT_TRUE(confirmed.contains("result")) << confirmed.dump();
  }
}

// Typing into a password field is refused before a key is sent, also right after the click
// that focuses it, before a browser has told its new focus. The bridge never reads a secure
// value; the refusal comes before the first character.
void ToolkitMatrix::checkPassword() {
  const Toolkit& row = GetParam();
  if (!row.password) {
    return;
  }
  Json observed = observeShowing(*row.password);
  Json refused =
      session_->act(observed, Json::array({clickAt(observed, find(observed, *row.password)),
                                           Json{{"type", "type"}, {"text", "secret"}}}));
  EXPECT_EQ(errorCode(refused), "userInputRequired") << refused.dump();
  EXPECT_EQ(refused["error"]["details"]["failedIndex"], 1);
}

TEST_P(ToolkitMatrix, ObservesActsTypesAndCaptures) {
  {
    SCOPED_TRACE("observe and capture");
    checkObservation();
  }
  {
    SCOPED_TRACE("press and toggle");
    checkPresses();
  }
  {
    SCOPED_TRACE("setValue, typing and confirm");
    checkText();
  }
  {
    SCOPED_TRACE("password");
    checkPassword();
  }
}

void PrintTo(const Toolkit& row, std::ostream* out) {
  *out << row.name;
}

std::string rowName(const testing::TestParamInfo<Toolkit>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Applications, ToolkitMatrix, testing::ValuesIn(toolkits()), rowName);

}  // namespace
}  // namespace qor
