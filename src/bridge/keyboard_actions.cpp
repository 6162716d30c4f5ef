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

// Whether the target application's keyboard focus is on a password field. Anything that cannot
// be read counts as not secure.
bool secureFieldFocused(desktop::Desktop& desktop, desktop::Pid pid) {
  desktop::AXRead focused =
      desktop.copyAttribute(applicationElement(desktop, pid), "AXFocusedUIElement");
  if (focused.error != desktop::kAXSuccess) {
    return false;
  }
  const auto* element = std::get_if<desktop::ElementRef>(&focused.value);
  return element != nullptr && *element != nullptr &&
         axString(desktop, *element, "AXSubrole") == "AXSecureTextField";
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
    // Checked as late as possible, once the target has had the time of the yield to move its
    // focus, and only when another character is about to be typed.
    if (focusMayHaveMoved) {
      refuseSecureField(context);
    }
    context.runtime.requireForeground(context.app, context.observation);
    postCharacter(context, character);
    focusMayHaveMoved = canMoveFocus(character);
    co_await runtime::yieldNow();
  }
}

}  // namespace qor::actions
