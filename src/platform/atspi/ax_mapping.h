#pragma once
// How AT-SPI2 roles, states and actions read as the Accessibility roles, subroles, values and
// action names the bridge speaks (the macOS vocabulary). Pure functions; docs/linux-backend.md
// carries the same tables for controller authors.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::platform::ax {

// AT-SPI role numbers (org.a11y.atspi.Accessible.GetRole) used by name in the backend.
enum Role : std::uint32_t {
  kRoleCheckBox = 7,
  kRoleCheckMenuItem = 8,
  kRoleColorChooser = 9,
  kRoleComboBox = 11,
  kRoleDialog = 16,
  kRoleFileChooser = 19,
  kRoleFontChooser = 22,
  kRoleFrame = 23,
  kRoleLabel = 29,
  kRoleMenu = 33,
  kRoleMenuBar = 34,
  kRoleMenuItem = 35,
  kRolePageTab = 37,
  kRolePasswordText = 40,
  kRoleRadioButton = 44,
  kRoleSeparator = 50,
  kRoleText = 61,
  kRoleToggleButton = 62,
  kRoleWindow = 69,
  kRoleParagraph = 73,
  kRoleApplication = 75,
  kRoleEntry = 79,
  kRoleAlert = 2,
};

// AT-SPI state bits (GetState gives them as two 32-bit words; here one 64-bit set).
enum State : int {
  kStateActive = 1,
  kStateChecked = 4,
  kStateEditable = 7,
  kStateEnabled = 8,
  kStateFocusable = 11,
  kStateFocused = 12,
  kStateIconified = 15,
  kStateMultiLine = 17,
  kStatePressed = 20,
  kStateSelected = 23,
  kStateSensitive = 24,
  kStateShowing = 25,
  kStateVisible = 30,
  kStateIndeterminate = 32,
};

inline bool has(std::uint64_t states, State state) {
  return (states >> state) & 1U;
}

// What decides an element's Accessibility role: its AT-SPI role and states, whether it is a
// top-level window of its application, and for menus the role of its parent.
struct RoleContext {
  std::uint32_t role = 0;
  std::uint64_t states = 0;
  bool topLevel = false;
  std::optional<std::uint32_t> parentRole;
};

// Window-like AT-SPI roles: shown as "AXWindow" at the top level of an application.
bool isWindowRole(std::uint32_t role);

std::string axRole(const RoleContext& context);
// Nothing when the element has no subrole.
std::optional<std::string> axSubrole(const RoleContext& context);

// Where an element's "AXValue" comes from.
enum class ValueSource {
  none,
  text,        // the Text interface: text fields, text areas, static text
  number,      // the Value interface: sliders, spin buttons, progress and level indicators
  checkState,  // the checked state: 0, 1, or 2 when mixed
  selection,   // the selected state: 0 or 1 (tabs)
};
ValueSource valueSource(const RoleContext& context);

// "AXEnabled": GTK 3, Qt, the browsers and LibreOffice set ENABLED and SENSITIVE on what can
// be used; GTK 4 sets only SENSITIVE.
bool enabled(std::uint64_t states);

// The "AXValue" of a check box, toggle or radio button: 0, 1, or 2 when mixed.
std::int64_t checkState(std::uint64_t states);

// Whether Component.GetExtents placed the object somewhere: not at INT_MIN (GTK's "nowhere"),
// without a negative size, and not Firefox's {-1, -1, 1, 1} or {-1, -1, -1, -1} for what it
// has not laid out yet. Other extents are never reported as a frame.
bool placedExtents(std::int32_t x, std::int32_t y, std::int32_t width, std::int32_t height);

// Text as Gecko (Firefox) gives it, without the U+FEFF it puts after every character beyond
// U+FFFF so that its offsets count UTF-16 units; such a mark is never part of the text.
std::string withoutGeckoOffsetMarks(std::string_view utf8);

// How "setValue" writes an element's "AXValue": through the Value interface for elements whose
// value is a number (a slider, a spin button: their text is only a rendering of the number),
// else through EditableText, else through Value when that is all the element has.
enum class ValueWrite { none, text, number };
ValueWrite valueWrite(const RoleContext& context, bool editableText, bool value);

// The number a value string spells for the Value interface: a decimal or exponent notation
// number in the C locale ("55", "-2.5", "1e3"), the whole string, finite. Nothing otherwise.
std::optional<double> numericValue(const std::string& text);

// The action names an element lists: the Accessibility name where one exists ("AXPress" for
// "click", "press", "activate", ...), the toolkit's own name otherwise, in toolkit order and
// without repeats. `native` holds Action.GetName of each action (empty names are left out).
std::vector<std::string> actionNames(const std::vector<std::string>& native,
                                     const std::string& role);
// The index of the toolkit action that `requested` names: an Accessibility name from
// actionNames(), or a toolkit name (exactly, then ignoring case).
std::optional<std::size_t> actionIndex(const std::vector<std::string>& native,
                                       const std::string& role, const std::string& requested);

}  // namespace qor::platform::ax
