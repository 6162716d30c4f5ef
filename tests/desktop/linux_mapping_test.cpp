// The pure rules of the Linux backend: role and action names, desktop entries and their command
// lines, and application identity.

#include <gtest/gtest.h>

#include "platform/atspi/ax_mapping.h"
#include "platform/dbus/dbus.h"
#include "platform/freedesktop/applications.h"
#include "platform/freedesktop/desktop_entries.h"

namespace qor::platform {
namespace {

using ax::RoleContext;

std::uint64_t states(std::initializer_list<ax::State> bits) {
  std::uint64_t set = 0;
  for (ax::State bit : bits) {
    set |= std::uint64_t{1} << bit;
  }
  return set;
}

TEST(AxRoles, NameWindowsTextAndMenusByTheirPlace) {
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleFrame, 0, true, {}}), "AXWindow");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleDialog, 0, true, {}}), "AXWindow");
  EXPECT_EQ(ax::axSubrole(RoleContext{ax::kRoleDialog, 0, true, {}}), "AXDialog");
  EXPECT_EQ(ax::axSubrole(RoleContext{ax::kRoleFrame, 0, true, {}}), "AXStandardWindow");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleFrame, 0, false, {}}), "AXGroup");  // nested

  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleText, states({ax::kStateMultiLine}), false, {}}),
            "AXTextArea");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleText, 0, false, {}}), "AXTextField");
  RoleContext password{ax::kRolePasswordText, 0, false, {}};
  EXPECT_EQ(ax::axRole(password), "AXTextField");
  EXPECT_EQ(ax::axSubrole(password), "AXSecureTextField");
  EXPECT_EQ(ax::valueSource(password), ax::ValueSource::none);  // never read

  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleMenu, 0, false, ax::kRoleMenuBar}), "AXMenuBarItem");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleMenu, 0, false, ax::kRoleMenu}), "AXMenuItem");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleMenu, 0, false, std::nullopt}), "AXMenu");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleSeparator, 0, false, ax::kRoleMenu}), "AXMenuItem");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleMenuBar, 0, false, {}}), "AXMenuBar");
}

TEST(AxRoles, CoverEveryAtspiRole) {
  for (std::uint32_t role = 0; role < 130; ++role) {
    std::string name = ax::axRole(RoleContext{role, 0, false, {}});
    EXPECT_TRUE(name.starts_with("AX")) << role;
  }
  EXPECT_EQ(ax::axRole(RoleContext{43, 0, false, {}}), "AXButton");
  EXPECT_EQ(ax::axRole(RoleContext{7, 0, false, {}}), "AXCheckBox");
  EXPECT_EQ(ax::axRole(RoleContext{44, 0, false, {}}), "AXRadioButton");
  EXPECT_EQ(ax::axRole(RoleContext{29, 0, false, {}}), "AXStaticText");
  EXPECT_EQ(ax::axRole(RoleContext{31, 0, false, {}}), "AXList");
  EXPECT_EQ(ax::axRole(RoleContext{90, 0, false, {}}), "AXRow");
  EXPECT_EQ(ax::axRole(RoleContext{56, 0, false, {}}), "AXCell");
  EXPECT_EQ(ax::axRole(RoleContext{55, 0, false, {}}), "AXTable");
  EXPECT_EQ(ax::axRole(RoleContext{49, 0, false, {}}), "AXScrollArea");
  EXPECT_EQ(ax::axRole(RoleContext{39, 0, false, {}}), "AXGroup");
  EXPECT_EQ(ax::axRole(RoleContext{75, 0, false, {}}), "AXApplication");
  EXPECT_EQ(ax::axRole(RoleContext{500, 0, false, {}}), "AXUnknown");
}

TEST(AxValues, ComeFromTextValueOrState) {
  EXPECT_EQ(ax::valueSource(RoleContext{29, 0, false, {}}), ax::ValueSource::text);
  EXPECT_EQ(ax::valueSource(RoleContext{51, 0, false, {}}), ax::ValueSource::number);
  EXPECT_EQ(ax::valueSource(RoleContext{52, 0, false, {}}), ax::ValueSource::number);
  EXPECT_EQ(ax::valueSource(RoleContext{7, 0, false, {}}), ax::ValueSource::checkState);
  EXPECT_EQ(ax::valueSource(RoleContext{62, 0, false, {}}), ax::ValueSource::checkState);
  EXPECT_EQ(ax::valueSource(RoleContext{37, 0, false, {}}), ax::ValueSource::selection);
  EXPECT_EQ(ax::valueSource(RoleContext{43, 0, false, {}}), ax::ValueSource::none);
  EXPECT_EQ(ax::valueSource(RoleContext{56, 0, false, {}}), ax::ValueSource::none);
}

TEST(AxActions, ListAccessibilityNamesAndAcceptToolkitNames) {
  EXPECT_EQ(ax::actionNames({"click"}, "AXButton"), std::vector<std::string>{"AXPress"});
  EXPECT_EQ(ax::actionNames({"activate"}, "AXTextField"), std::vector<std::string>{"AXConfirm"});
  EXPECT_EQ(ax::actionNames({"expand or contract", "edit", "activate"}, "AXCell"),
            (std::vector<std::string>{"expand or contract", "edit", "AXPress"}));
  EXPECT_EQ(ax::actionNames({"press", "click"}, "AXButton"), std::vector<std::string>{"AXPress"});
  EXPECT_EQ(ax::actionNames({"increment", "decrement", "menu"}, "AXIncrementor"),
            (std::vector<std::string>{"AXIncrement", "AXDecrement", "AXShowMenu"}));
  EXPECT_TRUE(ax::actionNames({}, "AXGroup").empty());

  std::vector<std::string> cell = {"expand or contract", "edit", "activate"};
  EXPECT_EQ(ax::actionIndex(cell, "AXCell", "AXPress"), 2u);
  EXPECT_EQ(ax::actionIndex(cell, "AXCell", "edit"), 1u);
  EXPECT_EQ(ax::actionIndex(cell, "AXCell", "EDIT"), 1u);
  EXPECT_EQ(ax::actionIndex(cell, "AXCell", "AXShowMenu"), std::nullopt);
  EXPECT_EQ(ax::actionIndex({"activate"}, "AXTextField", "AXConfirm"), 0u);
}

// What each toolkit answers Action.GetName with, and what the controller sees and may ask for.
TEST(AxActions, MapEveryToolkitsOwnNames) {
  struct Case {
    const char* toolkit;
    std::vector<std::string> native;
    std::string role;
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {"GTK 3 button", {"click", "press", "release"}, "AXButton", {"AXPress", "release"}},
      {"GTK 4 button", {"click"}, "AXButton", {"AXPress"}},
      {"GTK 4 text",
       {"clipboard.copy", "menu.popup"},
       "AXTextArea",
       {"clipboard.copy", "menu.popup"}},
      {"Qt button", {"Press", "SetFocus"}, "AXButton", {"AXPress", "SetFocus"}},
      {"Qt spin box", {"Increase", "Decrease"}, "AXIncrementor", {"AXIncrement", "AXDecrement"}},
      {"Qt menu", {"ShowMenu"}, "AXMenuButton", {"AXShowMenu"}},
      {"Firefox check box", {"check"}, "AXCheckBox", {"AXPress"}},
      {"Firefox checked box", {"uncheck"}, "AXCheckBox", {"AXPress"}},
      {"Firefox entry", {"activate"}, "AXTextField", {"AXConfirm"}},
      {"Chromium frame", {"doDefault", "showContextMenu"}, "AXWindow", {"AXPress", "AXShowMenu"}},
      {"Chromium link text", {"clickAncestor"}, "AXStaticText", {"AXPress"}},
      {"LibreOffice toolbar", {"press"}, "AXButton", {"AXPress"}},
      {"a name that could not be read", {"", "click"}, "AXButton", {"AXPress"}},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.toolkit);
    EXPECT_EQ(ax::actionNames(each.native, each.role), each.listed);
    // Every listed name leads back to the first toolkit action it stands for.
    for (const std::string& name : each.listed) {
      std::optional<std::size_t> index = ax::actionIndex(each.native, each.role, name);
      ASSERT_TRUE(index.has_value()) << name;
      EXPECT_FALSE(each.native[*index].empty());
    }
  }
  // An unreadable name is never matched, not even by an empty request.
  EXPECT_EQ(ax::actionIndex({"", "click"}, "AXButton", ""), std::nullopt);
}

// The states toolkits set differently: GTK 4 marks usable controls only SENSITIVE and toggled
// buttons PRESSED, as the browsers do for aria-pressed.
TEST(AxStates, ReadEachToolkitsConvention) {
  struct Case {
    const char* what;
    std::uint64_t states;
    bool enabled;
    std::int64_t check;
  };
  const Case cases[] = {
      {"GTK 3 active check box",
       states({ax::kStateEnabled, ax::kStateSensitive, ax::kStateChecked}), true, 1},
      {"GTK 4 toggle button on", states({ax::kStateSensitive, ax::kStatePressed}), true, 1},
      {"GTK 4 insensitive", states({ax::kStateFocusable}), false, 0},
      {"Firefox disabled button", states({ax::kStateShowing}), false, 0},
      {"mixed check box", states({ax::kStateEnabled, ax::kStateIndeterminate, ax::kStateChecked}),
       true, 2},
  };
  for (const Case& each : cases) {
    SCOPED_TRACE(each.what);
    EXPECT_EQ(ax::enabled(each.states), each.enabled);
    EXPECT_EQ(ax::checkState(each.states), each.check);
  }
  // A browser's text input and text area share a role; the lines tell them apart.
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleEntry, 0, false, {}}), "AXTextField");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleEntry, states({ax::kStateMultiLine}), false, {}}),
            "AXTextArea");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleParagraph, states({ax::kStateEditable}), false, {}}),
            "AXTextArea");
  EXPECT_EQ(ax::axRole(RoleContext{ax::kRoleParagraph, 0, false, {}}), "AXGroup");
}

// Gecko pads every character beyond U+FFFF with U+FEFF; only that padding goes.
TEST(AxText, DropsGeckosOffsetMarksOnly) {
  struct Case {
    const char* read;
    const char* text;
  };
  const Case cases[] = {
      {"h\u00e9llo w\u00f6rld \U0001F44B\uFEFF e\u0301",
       "h\u00e9llo w\u00f6rld \U0001F44B e\u0301"},
      {"\U0001F44D\uFEFF\U0001F3FD\uFEFF", "\U0001F44D\U0001F3FD"},
      {"\uFEFFstarts", "\uFEFFstarts"},                // a mark of the text's own
      {"\u20AC\uFEFF", "\u20AC\uFEFF"},                // after a character within U+FFFF
      {"\U0001F44B\uFEFF\uFEFF", "\U0001F44B\uFEFF"},  // the second is the text's own
      {"\xF0\x9F", "\xF0\x9F"},                        // cut short: kept as read
      {"", ""},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(ax::withoutGeckoOffsetMarks(each.read), each.text) << each.read;
  }
}

// Extents that place nothing are never a frame.
TEST(AxFrames, LeaveOutExtentsThatPlaceNothing) {
  struct Case {
    std::int32_t x, y, width, height;
    bool placed;
  };
  const Case cases[] = {
      {10, 20, 30, 40, true},
      {0, 0, 0, 0, true},                   // an empty label, where it is
      {-5, -8, 20, 20, true},               // partly off screen to the left
      {INT32_MIN, INT32_MIN, 1, 1, false},  // GTK and LibreOffice: nowhere
      {INT32_MIN, 12, 10, 10, false},
      {-1, -1, 1, 1, false},  // Firefox before layout
      {-1, -1, -1, -1, false},
      {-1, -1, 0, 0, false},
      {10, 10, -4, 5, false},  // a negative size
      {10, 10, 5, INT32_MIN, false},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(ax::placedExtents(each.x, each.y, each.width, each.height), each.placed)
        << each.x << "," << each.y << " " << each.width << "x" << each.height;
  }
}

TEST(DesktopEntries, ParseTheDesktopEntryGroupOnly) {
  std::optional<DesktopEntry> entry = parseDesktopEntry(
      "# comment\n"
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=Text Editor\n"
      "Name[de]=Texteditor\n"
      "Exec=editor\\s--new %F\n"
      "StartupWMClass = Editor\n"
      "NoDisplay=true\n"
      "[Desktop Action new]\n"
      "Name=Other\n");
  ASSERT_TRUE(entry.has_value());
  EXPECT_TRUE(entry->application);
  EXPECT_EQ(entry->name, "Text Editor");
  EXPECT_EQ(entry->exec, "editor --new %F");
  EXPECT_EQ(entry->startupWMClass, "Editor");
  EXPECT_TRUE(entry->noDisplay);
  EXPECT_FALSE(entry->hidden);
  EXPECT_FALSE(parseDesktopEntry("[Other]\nName=x\n").has_value());
}

TEST(DesktopEntries, ExpandCommandLinesWithQuotingAndFieldCodes) {
  DesktopEntry entry;
  entry.name = "Viewer";
  entry.icon = "viewer";
  entry.path = "/usr/share/applications/viewer.desktop";
  entry.exec = R"(viewer "--title=A \"B\"" %F --icon-from %i %% %c)";
  EXPECT_EQ(commandLine(entry, {"/a b", "/c"}),
            (std::vector<std::string>{"viewer", "--title=A \"B\"", "/a b", "/c", "--icon-from",
                                      "--icon", "viewer", "%", "Viewer"}));
  entry.exec = "viewer %u --then %f";
  EXPECT_EQ(commandLine(entry, {}), (std::vector<std::string>{"viewer", "--then"}));
  EXPECT_EQ(commandLine(entry, {"x", "y"}),
            (std::vector<std::string>{"viewer", "x", "--then", "x"}));
  entry.exec = "viewer \"unterminated";
  EXPECT_FALSE(commandLine(entry, {}).has_value());
  entry.exec = "";
  EXPECT_FALSE(commandLine(entry, {}).has_value());

  entry.exec = "env LANG=C GDK_BACKEND=x11 /opt/viewer/bin/viewer %U";
  EXPECT_EQ(entry.program(), "viewer");
}

ProcessWindow window(std::optional<std::string> appID, std::string instance,
                     std::string className) {
  ProcessWindow w;
  w.applicationID = std::move(appID);
  w.classInstance = std::move(instance);
  w.className = std::move(className);
  return w;
}

DesktopEntry entry(std::string id, std::string exec, std::string wmClass = "") {
  DesktopEntry e;
  e.id = std::move(id);
  e.exec = std::move(exec);
  e.startupWMClass = std::move(wmClass);
  e.application = true;
  return e;
}

TEST(Identity, PrefersWhatLaunchingWouldFind) {
  std::vector<DesktopEntry> entries = {
      entry("dev.qor.Fixture", "qor_fixture"),
      entry("debian-xterm", "xterm", "XTerm"),
      entry("gtk3-widget-factory", "gtk3-widget-factory"),
      entry("python3.11", "/usr/bin/python3.11"),
  };
  auto identityOf = [&](const ProcessWindow& w, std::string program) {
    ProcessEvidence process;
    process.facts.executable = std::move(program);
    process.windows = {&w};
    return identify(process, entries).bundleID;
  };
  // The GTK application id, when an entry carries it.
  EXPECT_EQ(identityOf(window("dev.qor.Fixture", "qor_fixture", "Qor_fixture"), "qor_fixture"),
            "dev.qor.Fixture");
  // An entry named after the window class wins over an application id no entry has.
  EXPECT_EQ(
      identityOf(window("org.gtk.WidgetFactory", "gtk3-widget-factory", "Gtk3-widget-factory"),
                 "gtk3-widget-factory"),
      "gtk3-widget-factory");
  EXPECT_EQ(identityOf(window(std::nullopt, "xterm", "XTerm"), "xterm"), "debian-xterm");
  // The application id when no entry matches; never an interpreter's entry.
  EXPECT_EQ(identityOf(window("org.example.Tool", "tool.py", "Tool.py"), "python3.11"),
            "org.example.Tool");
  // Else the entry of the program, else the class in lower case, else the program.
  EXPECT_EQ(identityOf(window(std::nullopt, "main", "Main"), "python3.11"), "python3.11");
  EXPECT_EQ(identityOf(window(std::nullopt, "thing", "Thing"), "thing-bin"), "thing");
  ProcessEvidence windowless;
  windowless.facts.executable = "Daemon";
  EXPECT_EQ(identify(windowless, entries).bundleID, "daemon");
}

TEST(Applications, AreListedOncePerProcessInLaunchOrder) {
  ProcessWindow early = window("org.example.Early", "early", "Early");
  early.id = 10;
  early.pid = 100;
  early.applicationLayer = true;
  ProcessWindow late = window("org.example.Late", "late", "Late");
  late.id = 11;
  late.pid = 200;
  late.applicationLayer = true;
  ProcessWindow lateSecond = late;
  lateSecond.id = 12;
  ProcessWindow panel = window("org.example.Panel", "panel", "Panel");
  panel.id = 13;
  panel.pid = 300;
  panel.applicationLayer = false;  // a utility window
  ApplicationSources sources;
  sources.windows = {late, early, lateSecond, panel};
  sources.activeWindow = 12;
  sources.atspi = {{400, "helper"}, {100, "early"}, {999, "self"}};
  auto facts = [](desktop::Pid pid) -> std::optional<ProcessFacts> {
    return ProcessFacts{pid, desktop::LaunchDate{1000 - pid}, false, "prog" + std::to_string(pid)};
  };
  std::vector<desktop::RunningApplication> apps = assembleApplications(sources, {}, facts, 999);
  ASSERT_EQ(apps.size(), 4u);
  EXPECT_EQ(apps[0].pid, 400);  // started first
  EXPECT_EQ(apps[0].activationPolicy, desktop::ActivationPolicy::prohibited);
  EXPECT_EQ(apps[1].pid, 300);
  EXPECT_EQ(apps[1].activationPolicy, desktop::ActivationPolicy::accessory);
  EXPECT_EQ(apps[2].pid, 200);
  EXPECT_TRUE(apps[2].active);
  EXPECT_EQ(apps[2].bundleID, "org.example.Late");
  EXPECT_EQ(apps[2].activationPolicy, desktop::ActivationPolicy::regular);
  EXPECT_EQ(apps[3].pid, 100);
  EXPECT_FALSE(apps[3].active);
  EXPECT_EQ(apps[3].localizedName, "early");
}

TEST(BusNames, AreCheckedBeforeTheBusIsAsked) {
  EXPECT_TRUE(dbus::isValidWellKnownName("dev.qor.Fixture"));
  EXPECT_TRUE(dbus::isValidWellKnownName("org.gtk.Widget-Factory_2"));
  EXPECT_FALSE(dbus::isValidWellKnownName("gtk3-widget-factory"));  // one element only
  EXPECT_FALSE(dbus::isValidWellKnownName("org.3d.App"));
  EXPECT_FALSE(dbus::isValidWellKnownName("org..App"));
  EXPECT_FALSE(dbus::isValidWellKnownName(":1.42"));
  EXPECT_FALSE(dbus::isValidWellKnownName(""));
}

}  // namespace
}  // namespace qor::platform
