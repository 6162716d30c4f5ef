#include "bridge/native_runtime.h"
#include "core/native_parameters.h"

namespace qor {
namespace {

// The wildcard event class and id ("****") ask about Apple Events of any kind.
constexpr std::int32_t kAutomationGranted = 0;
constexpr std::int32_t kAutomationNotYetAsked = -1744;

}  // namespace

Json NativeRuntime::automationPermission(const std::string& bundleID, bool ask) {
  std::int32_t status = desktop_.automationStatus(bundleID, ask);
  return Json{{"bundleId", bundleID},
              {"granted", status == kAutomationGranted},
              {"status", status},
              {"needsRequest", status == kAutomationNotYetAsked}};
}

// Never prompts: the two checks without options, and automation only for a string "bundleId".
Json NativeRuntime::permissionStatus(const Json& params) {
  Json status{{"accessibility", desktop_.isProcessTrusted()},
              {"screenCapture", desktop_.preflightScreenCapture()}};
  if (const Json* bundleID = NativeParameters::find(params, "bundleId");
      bundleID && bundleID->is_string()) {
    status["automation"] = automationPermission(bundleID->get<std::string>(), false);
  }
  return status;
}

// Triggers the system's own prompt, then reports the state afresh. Prompts for Accessibility and
// Screen Recording do not wait for the user, so the state returned is usually the old one.
Json NativeRuntime::requestPermission(const Json& params) {
  std::string permission = NativeParameters::string(params, "permission");
  if (permission == "accessibility") {
    desktop_.promptForAccessibility();
  } else if (permission == "screenCapture") {
    desktop_.requestScreenCapture();
  } else if (permission == "automation") {
    automationPermission(NativeParameters::string(params, "bundleId"), true);
  } else {
    throw invalidArgument("Unknown macOS permission");
  }
  return permissionStatus(params);
}

}  // namespace qor
