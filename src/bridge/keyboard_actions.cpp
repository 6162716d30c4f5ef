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

// How long an application gets to move its keyboard focus on after a Tab was sent to it.
constexpr auto kFocusMoveWait = std::chrono::milliseconds(150);
constexpr auto kFocusMovePoll = std::chrono::milliseconds(5);

// The element with the target application's keyboard focus; null when it cannot be read.
desktop::ElementRef focusedElement(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::AXRead focused =
      desktop.copyAttribute(applicationElement(desktop, pid), "AXFocusedUIElement");
  const auto* element = std::get_if<desktop::ElementRef>(&focused.value);
  return focused.error == desktop::kAXSuccess && element != nullptr ? *element : nullptr;
}

// Whether the target application's keyboard focus is on a password field. Anything that cannot
// be read counts as not secure.
bool secureFieldFocused(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::ElementRef element = focusedElement(desktop, pid);
  return element != nullptr && axString(desktop, element, "AXSubrole") == "AXSecureTextField";
}

std::optional<std::uint64_t> focusedIdentity(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::ElementRef element = focusedElement(desktop, pid);
  return element ? std::optional(element->identity()) : std::nullopt;
}

// A Tab moves the focus once the application reads it, which may be well after it was sent: the
// next character waits until the focus has left the element that had it, for a short while, so
// that it is not typed into a password field the focus is on its way to.
runtime::Task<void> awaitFocusLeaving(desktop::Desktop& desktop, desktop::Pid pid,
                                      std::optional<std::uint64_t> before) {
  for (auto waited = std::chrono::milliseconds(0);
       waited < kFocusMoveWait && focusedIdentity(desktop, pid) == before;
       waited += kFocusMovePoll) {
    co_await runtime::sleepFor(kFocusMovePoll);
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
  for (const std::u16string& character : characters) {
    throwIfCancelled(context);
    throwIfUserInput(context, kUserInputDetected);
    // The foreground is checked in full only when the desktop may have seen it change since
    // the last full check; the mark is taken first, so that a change during the check shows
    // at the next character.
    std::optional<std::uint64_t> mark = desktop.foregroundMark();
    bool foregroundMayHaveChanged = !mark || mark != checkedUnder;
    // Checked as late as possible, once the target has had the time of the yield to move its
    // focus, and only when another character is about to be typed.
    if (focusMayHaveMoved || foregroundMayHaveChanged) {
      refuseSecureField(context);
    }
    if (foregroundMayHaveChanged) {
      context.runtime.requireForeground(context.app, context.observation);
      checkedUnder = mark;
    }
    std::optional<std::uint64_t> focusBefore;
    if (character == u"\t") {
      focusBefore = focusedIdentity(desktop, context.app.pid);
    }
    postCharacter(context, character);
    focusMayHaveMoved = canMoveFocus(character);
    if (character == u"\t") {
      co_await awaitFocusLeaving(desktop, context.app.pid, focusBefore);
    }
    co_await runtime::yieldNow();
  }
}

}  // namespace qor::actions
