#pragma once
// Every code a failure can carry. A controller branches on these, so the list is closed: a
// failure raised with a code that is not here does not compile.

#include <algorithm>
#include <array>
#include <string_view>

namespace qor {

inline constexpr std::array<std::string_view, 22> kFailureCodes = {
    "invalidRequest",
    "invalidArgument",
    "operationInProgress",
    "unsupportedMethod",
    "cancelled",
    "operationFailed",
    "missingPermission",
    "applicationNotRunning",
    "applicationNotInstalled",
    "applicationIdentityMismatch",
    "focusUnavailable",
    "staleObservation",
    "windowUnavailable",
    "accessibilityUnavailable",
    "sessionUnavailable",
    "inputBusy",
    "userTakeover",
    "userInputRequired",
    "accessibilityActionFailed",
    "inputUnavailable",
    "appleEventFailed",
    "captureFailed",
};

constexpr bool isFailureCode(std::string_view code) {
  return std::find(kFailureCodes.begin(), kFailureCodes.end(), code) != kFailureCodes.end();
}

// A code checked against the list while compiling: `NativeFailure("staleObservation", ...)`
// builds, a misspelt or invented code stops the build.
class FailureCode {
 public:
  consteval FailureCode(const char* code) : code_(code) {  // NOLINT: implicit on purpose
    if (!isFailureCode(code_)) {
      throw "not a failure code: add it to kFailureCodes and the protocol reference";
    }
  }
  constexpr std::string_view view() const { return code_; }

 private:
  std::string_view code_;
};

}  // namespace qor
