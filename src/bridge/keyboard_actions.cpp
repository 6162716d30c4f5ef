// "key" and "type": synthetic keyboard events posted to the target process only. Text goes one
// user-perceived character at a time, and never into a password field.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "bridge/accessibility.h"
#include "bridge/action_steps.h"
#include "core/native_failure.h"
#include "core/native_keys.h"
#include "core/native_parameters.h"
#include "core/text.h"

namespace qor::actions {
namespace {

constexpr std::size_t kMaxTextUnits = 100'000;

// The modifier names of a key action; anything but an array of strings means none.
std::vector<std::string> modifierNames(const Json& action) {
  const Json* modifiers = NativeParameters::find(action, "modifiers");
  std::vector<std::string> names;
  if (modifiers == nullptr || !modifiers->is_array()) {
    return names;
  }
  for (const Json& name : *modifiers) {
    if (!name.is_string()) {
      return {};
    }
    names.push_back(name.get<std::string>());
  }
  return names;
}

void postKey(const StepContext& context, std::uint16_t keyCode, bool down, std::uint64_t flags) {
  desktop::KeyEvent event;
  event.keyCode = keyCode;
  event.down = down;
  event.flags = flags;
  postMarked(context, event, "Could not create keyboard event");
}

// One character as a key-down and key-up pair of key code 0 carrying its UTF-16 units.
void postCharacter(const StepContext& context, const std::u16string& units) {
  for (bool down : {true, false}) {
    desktop::KeyEvent event;
    event.down = down;
    event.text = units;
    postMarked(context, event, "Could not create text event");
  }
}

// After a Tab, how long the focus gets to leave the element that had it: a toolkit may tell
// where its focus is only some time after it handled the key. A focus that cannot be read for
// longer than the answer limit stops the text, and reads are this far apart.
constexpr auto kFocusMoveWait = std::chrono::milliseconds(500);
constexpr auto kFocusAnswerLimit = std::chrono::seconds(2);
// Reads are far apart because answering one costs the application a turn of its main loop, and
// toolkits move their accessible focus in the idle time between turns: reading faster starves it.
constexpr auto kFocusPoll = std::chrono::milliseconds(50);
constexpr auto kNoWait = std::chrono::milliseconds(0);

// One read of where the target application's keyboard focus is: `answered` is false when the
// application did not answer in time; an answer may be that nothing has the focus.
struct FocusRead {
  bool answered = false;
  desktop::ElementRef element;  // null when nothing has the focus or it could not be read

  std::optional<std::uint64_t> identity() const {
    return element ? std::optional(element->identity()) : std::nullopt;
  }
};

FocusRead readFocus(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::AXRead focused =
      desktop.copyAttribute(applicationElement(desktop, pid), "AXFocusedUIElement");
  const auto* element = std::get_if<desktop::ElementRef>(&focused.value);
  if (focused.error == desktop::kAXSuccess && element != nullptr && *element != nullptr) {
    return {true, *element};
  }
  return {focused.error != desktop::kAXErrorCannotComplete, nullptr};
}

// Whether the target application's keyboard focus is on a password field. Anything that cannot
// be read counts as not secure.
bool secureFieldFocused(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::ElementRef element = readFocus(desktop, pid).element;
  return element != nullptr && axString(desktop, element, "AXSubrole") == "AXSecureTextField";
}

// A Tab or a line break moves the focus once the application handles the key, which may be
// well after it was sent. The next character waits until the application has answered where its
// focus is and, after a Tab, until the focus has left the element that had it or the move wait
// has passed. A focus that cannot be read, or after a Tab is on no control, for longer than the
// answer limit stops the text: it may be on its way to a password field.
runtime::Task<void> awaitFocusSettled(const StepContext& context,
                                      std::optional<std::uint64_t> before,
                                      std::chrono::milliseconds moveWait) {
  desktop::Desktop& desktop = context.runtime.desktop();
  runtime::Clock& clock = context.runtime.clock();
  const runtime::MonoTime start = clock.now();
  while (true) {
    FocusRead read = readFocus(desktop, context.app.pid);
    const auto waited = clock.now() - start;
    // On its way from one control to the next the focus may be on nothing for a while: after a
    // Tab only a control that has it settles the wait.
    bool landed = read.answered && (read.element || moveWait == kNoWait);
    if (landed && (read.identity() != before || waited >= moveWait)) {
      co_return;
    }
    if (!landed && waited >= kFocusAnswerLimit) {
      throw NativeFailure("accessibilityUnavailable",
                          "The application did not show where its keyboard focus went; observe "
                          "again");
    }
    co_await runtime::sleepFor(kFocusPoll);
  }
}

void refuseSecureField(const StepContext& context) {
  if (secureFieldFocused(context.runtime.desktop(), context.app.pid)) {
    throw NativeFailure("userInputRequired", "Enter credentials in the selected application");
  }
}

// Tab and line breaks can move the keyboard focus to another control, a password field among
// them.
bool canMoveFocus(std::u16string_view character) {
  return character.find_first_of(u"\t\n\r") != std::u16string_view::npos;
}

}  // namespace

void key(const StepContext& context) {
  context.runtime.requireForeground(context.app, context.observation);
  const std::uint16_t keyCode = NativeKeys::code(NativeParameters::find(context.action, "key"));
  const std::uint64_t flags = NativeKeys::flags(modifierNames(context.action));
  postKey(context, keyCode, true, flags);
  postKey(context, keyCode, false, flags);
}

runtime::Task<void> typeText(StepContext context) {
  desktop::Desktop& desktop = context.runtime.desktop();
  std::optional<std::uint64_t> checkedUnder = desktop.foregroundMark();
  context.runtime.requireForeground(context.app, context.observation);
  const std::string text = NativeParameters::string(context.action, "text");
  if (text::utf16Length(text) > kMaxTextUnits) {
    throw invalidArgument("Text exceeds 100,000 UTF-16 units; use a file import");
  }
  refuseSecureField(context);
  std::vector<std::u16string> characters;
  for (const std::string& character : text::graphemes(text)) {
    characters.push_back(text::toUtf16(character));
  }
  // The keyboard is readied for the whole text at once, so that the wait for applications to
  // take up a changed keyboard is paid once per text, not once per character.
  if (std::chrono::milliseconds settle = desktop.prepareTyping(characters); settle.count() > 0) {
    co_await runtime::sleepFor(settle);
  }
  bool focusMayHaveMoved = false;
  bool tabbed = false;
  std::optional<std::uint64_t> focusBefore;  // where the focus was before the last such key
  for (const std::u16string& character : characters) {
    throwIfCancelled(context);
    throwIfUserInput(context, kUserInputDetected);
    // Only when another character is about to be typed: the last one may move the focus freely.
    if (focusMayHaveMoved) {
      co_await awaitFocusSettled(context, focusBefore, tabbed ? kFocusMoveWait : kNoWait);
    }
    // The foreground is checked in full only when the desktop may have seen it change since
    // the last full check; the mark is taken first, so that a change during the check shows
    // at the next character.
    std::optional<std::uint64_t> mark = desktop.foregroundMark();
    bool foregroundMayHaveChanged = !mark || mark != checkedUnder;
    if (focusMayHaveMoved || foregroundMayHaveChanged) {
      refuseSecureField(context);
    }
    if (foregroundMayHaveChanged) {
      context.runtime.requireForeground(context.app, context.observation);
      checkedUnder = mark;
    }
    focusMayHaveMoved = canMoveFocus(character);
    tabbed = character == u"\t";
    if (focusMayHaveMoved) {
      focusBefore = readFocus(desktop, context.app.pid).identity();
    }
    postCharacter(context, character);
    co_await runtime::yieldNow();
  }
}

}  // namespace qor::actions
