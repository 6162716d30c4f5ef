#pragma once
// The steps of an action batch, one per action type, shared by act.cpp and the files that hold
// them. Internal to the bridge.
//
// A step either completes or throws: NativeFailure for a refusal, runtime::Cancelled when it
// notices that its operation was cancelled. Steps run on the main thread inside the batch; only
// click, type and wait suspend.

#include <cstdint>

#include "bridge/native_runtime.h"
#include "bridge/observation.h"
#include "core/geometry.h"
#include "core/json.h"
#include "desktop/desktop.h"
#include "runtime/task.h"

namespace qor::actions {

// What every step gets from the batch. References stay valid for the whole batch.
struct StepContext {
  NativeRuntime& runtime;
  const Json& action;                              // the action object
  const desktop::RunningApplication& app;          // the target; every event goes to its pid
  const Observation& observation;                  // the copy from the batch's first validation
  std::uint64_t epoch;                             // the user-input epoch when the loop started
  const runtime::CancellationState* cancellation;  // the operation's mark; may be null
};

// Cancellation and user input, checked where the batch and its steps may stop.
void throwIfCancelled(const StepContext& context);
// Throws "userTakeover" with `message` when the user has touched mouse or keyboard since the
// loop started.
void throwIfUserInput(const StepContext& context, const char* message);
inline constexpr const char* kUserInputDetected = "User input detected";

// Posts one event marked as the bridge's own to the target process; throws "inputUnavailable"
// with `failureMessage` when the platform cannot create it.
void postMarked(const StepContext& context, desktop::InputEvent event, const char* failureMessage);

// Pointer actions (pointer_actions.cpp). `actionPoint` maps the action's "x", "y" and
// "coordinateSpace" to a global point inside the observed window.
Point actionPoint(const Json& action, const Observation& observation);
runtime::Task<void> click(StepContext context);
void scroll(const StepContext& context);

// Keyboard actions (keyboard_actions.cpp).
void key(const StepContext& context);
runtime::Task<void> typeText(StepContext context);

// Accessibility element actions (element_actions.cpp). No foreground guard.
void performAXAction(const StepContext& context);
void setValue(const StepContext& context);

}  // namespace qor::actions
