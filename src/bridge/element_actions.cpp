// "ax" and "setValue": act on one control of the observed window through the Accessibility
// interface. The control is looked up afresh, so one that changed since the observation is never
// touched; no foreground is needed. A password field is never filled.

#include <string>

#include "bridge/accessibility.h"
#include "bridge/action_steps.h"
#include "core/native_failure.h"
#include "core/native_parameters.h"

namespace qor::actions {
namespace {

// The control named by the action's "ref", when it still is what was observed.
desktop::ElementRef observedElement(const StepContext& context) {
  return context.runtime.observations().element(context.observation,
                                                NativeParameters::string(context.action, "ref"));
}

NativeFailure rejected(const char* message, desktop::AXError error) {
  return NativeFailure("accessibilityActionFailed", message, Json{{"axError", error}});
}

}  // namespace

void performAXAction(const StepContext& context) {
  NativeRuntime& runtime = context.runtime;
  desktop::ElementRef element = observedElement(context);
  const std::string name = NativeParameters::string(context.action, "action");
  if (desktop::AXError error = runtime.desktop().performAction(element, name);
      error != desktop::kAXSuccess) {
    throw rejected("Control did not accept the action", error);
  }
}

void setValue(const StepContext& context) {
  NativeRuntime& runtime = context.runtime;
  desktop::ElementRef element = observedElement(context);
  // Before the value is looked at: a password field is refused whatever the request holds.
  if (axString(runtime.desktop(), element, "AXSubrole") == "AXSecureTextField") {
    throw NativeFailure("userInputRequired", "Enter credentials in the selected application");
  }
  const Json* value = NativeParameters::find(context.action, "value");
  if (value == nullptr || !value->is_string()) {
    throw invalidArgument("setValue requires a string value");
  }
  if (desktop::AXError error =
          runtime.desktop().setStringValue(element, "AXValue", value->get<std::string>());
      error != desktop::kAXSuccess) {
    throw rejected("Control value could not be set", error);
  }
}

}  // namespace qor::actions
