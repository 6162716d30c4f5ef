#include "platform/atspi/ax_mapping.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <climits>
#include <cmath>
#include <string_view>
#include <utility>

namespace qor::platform::ax {
namespace {

// AT-SPI role number -> Accessibility role, for every role AT-SPI defines (0 to 129). Roles that
// depend on context (windows, menus, text) are refined in axRole().
constexpr std::array<std::string_view, 130> kRoles = {
    "AXUnknown",            // 0 invalid
    "AXStaticText",         // 1 accelerator label
    "AXWindow",             // 2 alert
    "AXImage",              // 3 animation
    "AXImage",              // 4 arrow
    "AXGroup",              // 5 calendar
    "AXGroup",              // 6 canvas
    "AXCheckBox",           // 7 check box
    "AXMenuItem",           // 8 check menu item
    "AXColorWell",          // 9 color chooser
    "AXButton",             // 10 column header
    "AXComboBox",           // 11 combo box
    "AXDateField",          // 12 date editor
    "AXImage",              // 13 desktop icon
    "AXGroup",              // 14 desktop frame
    "AXSlider",             // 15 dial
    "AXWindow",             // 16 dialog
    "AXGroup",              // 17 directory pane
    "AXGroup",              // 18 drawing area
    "AXGroup",              // 19 file chooser
    "AXGroup",              // 20 filler
    "AXGroup",              // 21 focus traversable
    "AXGroup",              // 22 font chooser
    "AXWindow",             // 23 frame
    "AXGroup",              // 24 glass pane
    "AXGroup",              // 25 html container
    "AXImage",              // 26 icon
    "AXImage",              // 27 image
    "AXGroup",              // 28 internal frame
    "AXStaticText",         // 29 label
    "AXGroup",              // 30 layered pane
    "AXList",               // 31 list
    "AXRow",                // 32 list item
    "AXMenu",               // 33 menu
    "AXMenuBar",            // 34 menu bar
    "AXMenuItem",           // 35 menu item
    "AXGroup",              // 36 option pane
    "AXRadioButton",        // 37 page tab
    "AXTabGroup",           // 38 page tab list
    "AXGroup",              // 39 panel
    "AXTextField",          // 40 password text
    "AXMenu",               // 41 popup menu
    "AXProgressIndicator",  // 42 progress bar
    "AXButton",             // 43 push button
    "AXRadioButton",        // 44 radio button
    "AXMenuItem",           // 45 radio menu item
    "AXGroup",              // 46 root pane
    "AXButton",             // 47 row header
    "AXScrollBar",          // 48 scroll bar
    "AXScrollArea",         // 49 scroll pane
    "AXSplitter",           // 50 separator
    "AXSlider",             // 51 slider
    "AXIncrementor",        // 52 spin button
    "AXSplitGroup",         // 53 split pane
    "AXGroup",              // 54 status bar
    "AXTable",              // 55 table
    "AXCell",               // 56 table cell
    "AXButton",             // 57 table column header
    "AXButton",             // 58 table row header
    "AXMenuItem",           // 59 tearoff menu item
    "AXTextArea",           // 60 terminal
    "AXTextField",          // 61 text (a text area when multi-line)
    "AXCheckBox",           // 62 toggle button
    "AXToolbar",            // 63 tool bar
    "AXHelpTag",            // 64 tool tip
    "AXOutline",            // 65 tree
    "AXOutline",            // 66 tree table
    "AXUnknown",            // 67 unknown
    "AXGroup",              // 68 viewport
    "AXWindow",             // 69 window
    "AXUnknown",            // 70 extended
    "AXGroup",              // 71 header
    "AXGroup",              // 72 footer
    "AXGroup",              // 73 paragraph
    "AXRuler",              // 74 ruler
    "AXApplication",        // 75 application
    "AXComboBox",           // 76 autocomplete
    "AXTextField",          // 77 editbar
    "AXGroup",              // 78 embedded
    "AXTextField",          // 79 entry
    "AXImage",              // 80 chart
    "AXStaticText",         // 81 caption
    "AXWebArea",            // 82 document frame
    "AXHeading",            // 83 heading
    "AXGroup",              // 84 page
    "AXGroup",              // 85 section
    "AXUnknown",            // 86 redundant object
    "AXGroup",              // 87 form
    "AXLink",               // 88 link
    "AXWindow",             // 89 input method window
    "AXRow",                // 90 table row
    "AXRow",                // 91 tree item
    "AXWebArea",            // 92 document spreadsheet
    "AXWebArea",            // 93 document presentation
    "AXWebArea",            // 94 document text
    "AXWebArea",            // 95 document web
    "AXWebArea",            // 96 document email
    "AXGroup",              // 97 comment
    "AXList",               // 98 list box
    "AXGroup",              // 99 grouping
    "AXImage",              // 100 image map
    "AXGroup",              // 101 notification
    "AXGroup",              // 102 info bar
    "AXLevelIndicator",     // 103 level bar
    "AXGroup",              // 104 title bar
    "AXGroup",              // 105 block quote
    "AXGroup",              // 106 audio
    "AXGroup",              // 107 video
    "AXGroup",              // 108 definition
    "AXGroup",              // 109 article
    "AXGroup",              // 110 landmark
    "AXGroup",              // 111 log
    "AXGroup",              // 112 marquee
    "AXGroup",              // 113 math
    "AXLevelIndicator",     // 114 rating
    "AXStaticText",         // 115 timer
    "AXStaticText",         // 116 static
    "AXGroup",              // 117 math fraction
    "AXGroup",              // 118 math root
    "AXGroup",              // 119 subscript
    "AXGroup",              // 120 superscript
    "AXList",               // 121 description list
    "AXStaticText",         // 122 description term
    "AXGroup",              // 123 description value
    "AXGroup",              // 124 footnote
    "AXGroup",              // 125 content deletion
    "AXGroup",              // 126 content insertion
    "AXGroup",              // 127 mark
    "AXGroup",              // 128 suggestion
    "AXMenuButton",         // 129 push button menu
};

std::string lowerCase(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// Toolkit action names (lower case, as Action.GetName gives them) that have an Accessibility
// counterpart, with the toolkits that use each. Names no toolkit shares are kept as they are
// ("expand or contract", "edit", "setfocus", "select", "expand", "collapse", ...).
struct ActionName {
  std::string_view toolkit;
  std::string_view accessibility;
  std::string_view usedBy;  // documentation only: docs/linux-backend.md carries the same table
};
constexpr std::array<ActionName, 24> kActions = {{
    {"click", "AXPress", "GTK 3, GTK 4, Firefox, Chromium, LibreOffice"},
    {"press", "AXPress", "GTK 3, Qt (Press), Firefox, Chromium"},
    {"push", "AXPress", "older toolkits"},
    {"activate", "AXPress", "GTK 3 and GTK 4 menu items and rows, Chromium links"},
    {"toggle", "AXPress", "GTK 4, Qt (Toggle)"},
    {"check", "AXPress", "Firefox, Chromium: a check box that is not checked"},
    {"uncheck", "AXPress", "Firefox, Chromium: a check box that is checked"},
    {"cycle", "AXPress", "Firefox: a check box with a mixed state"},
    {"jump", "AXPress", "Firefox, Chromium: links"},
    {"open", "AXPress", "Firefox, Chromium: combo boxes"},
    {"clickancestor", "AXPress", "Chromium: text inside a clickable element"},
    {"dodefault", "AXPress", "Chromium"},
    {"increment", "AXIncrement", "GTK 3"},
    {"increase", "AXIncrement", "Qt (Increase)"},
    {"decrement", "AXDecrement", "GTK 3"},
    {"decrease", "AXDecrement", "Qt (Decrease)"},
    {"menu", "AXShowMenu", "GTK 3"},
    {"showmenu", "AXShowMenu", "Qt (ShowMenu)"},
    {"show menu", "AXShowMenu", "LibreOffice"},
    {"popup", "AXShowMenu", "GTK 3 combo boxes"},
    {"showcontextmenu", "AXShowMenu", "Chromium"},
    {"show context menu", "AXShowMenu", "older toolkits"},
    {"cancel", "AXCancel", "GTK 3 dialogs"},
    {"dismiss", "AXCancel", "older toolkits"},
}};

// "activate" on a text field is pressing Return in it (GTK, Firefox, Chromium).
std::optional<std::string> mappedAction(const std::string& native, const std::string& role) {
  std::string name = lowerCase(native);
  if (name == "activate" && (role == "AXTextField" || role == "AXTextArea")) {
    return "AXConfirm";
  }
  for (const ActionName& action : kActions) {
    if (name == action.toolkit) {
      return std::string(action.accessibility);
    }
  }
  return std::nullopt;
}

}  // namespace

bool isWindowRole(std::uint32_t role) {
  switch (role) {
    case kRoleFrame:
    case kRoleWindow:
    case kRoleDialog:
    case kRoleAlert:
    case kRoleFileChooser:
    case kRoleColorChooser:
    case kRoleFontChooser:
      return true;
    default:
      return false;
  }
}

std::string axRole(const RoleContext& context) {
  if (context.topLevel && isWindowRole(context.role)) {
    return "AXWindow";
  }
  switch (context.role) {
    case kRoleFrame:
    case kRoleWindow:
    case kRoleDialog:
    case kRoleAlert:
      return "AXGroup";  // a window-like role inside another window
    case kRoleText:
    case kRoleEntry:  // browsers give text inputs and text areas this role
      return has(context.states, kStateMultiLine) ? "AXTextArea" : "AXTextField";
    case kRoleParagraph:  // a word processor's document is made of editable paragraphs
      return has(context.states, kStateEditable) ? "AXTextArea" : "AXGroup";
    case kRoleMenu:
      if (context.parentRole == kRoleMenuBar) {
        return "AXMenuBarItem";
      }
      return context.parentRole == kRoleMenu ? "AXMenuItem" : "AXMenu";
    case kRoleSeparator:
      return context.parentRole == kRoleMenu ? "AXMenuItem" : "AXSplitter";
    default:
      break;
  }
  return context.role < kRoles.size() ? std::string(kRoles[context.role]) : "AXUnknown";
}

std::optional<std::string> axSubrole(const RoleContext& context) {
  if (context.role == kRolePasswordText) {
    return "AXSecureTextField";
  }
  if (context.topLevel && isWindowRole(context.role)) {
    return context.role == kRoleDialog || context.role == kRoleAlert ? "AXDialog"
                                                                     : "AXStandardWindow";
  }
  if (context.role == kRoleToggleButton) {
    return "AXToggle";
  }
  if (context.role == kRolePageTab) {
    return "AXTabButton";
  }
  return std::nullopt;
}

ValueSource valueSource(const RoleContext& context) {
  if (context.role == kRolePageTab) {
    return ValueSource::selection;
  }
  std::string role = axRole(context);
  if (role == "AXTextField" || role == "AXTextArea" || role == "AXStaticText") {
    return context.role == kRolePasswordText ? ValueSource::none : ValueSource::text;
  }
  if (role == "AXSlider" || role == "AXIncrementor" || role == "AXProgressIndicator" ||
      role == "AXLevelIndicator" || role == "AXScrollBar") {
    return ValueSource::number;
  }
  if (role == "AXCheckBox" || role == "AXRadioButton") {
    return ValueSource::checkState;
  }
  return ValueSource::none;
}

bool enabled(std::uint64_t states) {
  return has(states, kStateEnabled) || has(states, kStateSensitive);
}

std::int64_t checkState(std::uint64_t states) {
  if (has(states, kStateIndeterminate)) {
    return 2;
  }
  // GTK 3 and Qt mark a toggle button that is on as checked, GTK 4 and the browsers as pressed.
  return has(states, kStateChecked) || has(states, kStatePressed) ? 1 : 0;
}

bool placedExtents(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height) {
  if (x == INT32_MIN || y == INT32_MIN || width < 0 || height < 0) {
    return false;  // GTK's "nowhere" (closed menus, hidden scroll bars); nonsense sizes
  }
  // Firefox's answer for what it has not laid out yet (a page's first look).
  bool placeholder = x == -1 && y == -1 && width <= 1 && height <= 1;
  return !placeholder;
}

std::string withoutGeckoOffsetMarks(std::string_view utf8) {
  constexpr std::string_view kMark = "\xEF\xBB\xBF";  // U+FEFF
  std::string text;
  text.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    // A four-byte sequence is a character beyond U+FFFF.
    bool beyondBmp = (static_cast<unsigned char>(utf8[i]) & 0xF8) == 0xF0 && i + 4 <= utf8.size();
    std::size_t length = beyondBmp ? 4 : 1;
    text.append(utf8.substr(i, length));
    i += length;
    if (beyondBmp && utf8.substr(i, kMark.size()) == kMark) {
      i += kMark.size();
    }
  }
  return text;
}

ValueWrite valueWrite(const RoleContext& context, bool editableText, bool value) {
  if (value && valueSource(context) == ValueSource::number) {
    return ValueWrite::number;
  }
  if (editableText) {
    return ValueWrite::text;
  }
  return value ? ValueWrite::number : ValueWrite::none;
}

std::optional<double> numericValue(const std::string& text) {
  double number = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, number);
  if (text.empty() || error != std::errc() || stop != end || !std::isfinite(number)) {
    return std::nullopt;
  }
  return number;
}

std::vector<std::string> actionNames(const std::vector<std::string>& native,
                                     const std::string& role) {
  std::vector<std::string> names;
  for (const std::string& name : native) {
    if (name.empty()) {
      continue;  // a name the toolkit did not give: nothing to list or to ask for
    }
    std::string listed = mappedAction(name, role).value_or(name);
    if (std::find(names.begin(), names.end(), listed) == names.end()) {
      names.push_back(std::move(listed));
    }
  }
  return names;
}

std::optional<std::size_t> actionIndex(const std::vector<std::string>& native,
                                       const std::string& role, const std::string& requested) {
  if (requested.empty()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < native.size(); ++i) {
    if (mappedAction(native[i], role) == requested) {
      return i;
    }
  }
  for (std::size_t i = 0; i < native.size(); ++i) {
    if (native[i] == requested) {
      return i;
    }
  }
  for (std::size_t i = 0; i < native.size(); ++i) {
    if (lowerCase(native[i]) == lowerCase(requested)) {
      return i;
    }
  }
  return std::nullopt;
}

}  // namespace qor::platform::ax
