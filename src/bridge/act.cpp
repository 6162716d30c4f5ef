// "app.act": a batch of 1 to 100 actions against one observed window. Only one batch runs at a
// time; the batch stops before its next action when the operation is cancelled or the user
// touches mouse or keyboard; the observation it used is gone afterwards, whatever the outcome.

#include <chrono>
#include <string>
#include <utility>
#include <variant>

#include "bridge/action_steps.h"
#include "bridge/native_runtime.h"
#include "core/native_failure.h"
#include "core/native_parameters.h"

namespace qor {
namespace actions {

void throwIfCancelled(const StepContext& context) {
  if (context.cancellation != nullptr && context.cancellation->isCancelled()) {
    throw runtime::Cancelled{};
  }
}

void throwIfUserInput(const StepContext& context, const char* message) {
  if (context.runtime.userInput().epoch() != context.epoch) {
    throw NativeFailure("userTakeover", message);
  }
}

void postMarked(const StepContext& context, desktop::InputEvent event, const char* failureMessage) {
  std::visit([&](auto& input) { input.marker = UserInputMonitor::eventMarker; }, event);
  if (context.runtime.desktop().post(context.app.pid, event) ==
      desktop::PostResult::couldNotCreate) {
    // A backend refuses input whose target has just left the front (the race the guard before
    // each event cannot close): that is said as the guard would say it.
    context.runtime.requireForeground(context.app, context.observation);
    throw NativeFailure("inputUnavailable", failureMessage);
  }
}

}  // namespace actions

namespace {

constexpr std::size_t kMaxActions = 100;
constexpr auto kPauseAfterAction = std::chrono::milliseconds(40);
constexpr std::int64_t kDefaultWaitMilliseconds = 100;
constexpr std::int64_t kMaxWaitMilliseconds = 5000;

// The "actions" array when it holds 1 to 100 objects.
const Json& checkedActions(const Json& params) {
  const Json* actions = NativeParameters::find(params, "actions");
  bool valid = actions != nullptr && actions->is_array() && !actions->empty() &&
               actions->size() <= kMaxActions;
  if (valid) {
    for (const Json& action : *actions) {
      valid = valid && action.is_object();
    }
  }
  if (!valid) {
    throw invalidArgument("actions must contain 1...100 actions");
  }
  return *actions;
}

// Holds the single-batch lock from the moment it is taken. Every way out of the batch, result,
// failure or cancellation, releases it and uses up the observation before the response is
// written, because the coroutine's locals die before the operation body resumes.
class BatchLock {
 public:
  BatchLock(NativeRuntime& runtime, const std::string& operation, std::string observationID)
      : runtime_(runtime), observationID_(std::move(observationID)) {
    runtime_.operations().holdInput(operation);
  }
  ~BatchLock() {
    runtime_.operations().releaseInput();
    runtime_.observations().remove(observationID_);
  }
  BatchLock(const BatchLock&) = delete;
  BatchLock& operator=(const BatchLock&) = delete;

 private:
  NativeRuntime& runtime_;
  std::string observationID_;
};

// The target application, looked up afresh, and the stored observation named by
// "observationId" when it was made of that application and is still current. The observation
// is the store's own: valid until the store next changes.
struct CheckedTarget {
  desktop::RunningApplication app;
  const Observation& observation;
};

CheckedTarget checkedTarget(NativeRuntime& runtime, const Json& params) {
  desktop::RunningApplication app = runtime.targetApp(params);
  const std::string observationID = NativeParameters::string(params, "observationId");
  const Observation& observation = runtime.observations().validate(app, observationID);
  return {std::move(app), observation};
}

runtime::Task<void> wait(const actions::StepContext& context) {
  std::int64_t milliseconds =
      NativeParameters::boundedInt(NativeParameters::find(context.action, "milliseconds"),
                                   kDefaultWaitMilliseconds, 0, kMaxWaitMilliseconds);
  co_await runtime::sleepFor(std::chrono::milliseconds(milliseconds));
}

// Runs the step for `type`, tested in a fixed order with exact, case-sensitive names.
runtime::Task<void> runStep(const std::string& type, const actions::StepContext& context) {
  if (type == "ax") {
    actions::performAXAction(context);
  } else if (type == "setValue") {
    actions::setValue(context);
  } else if (type == "click") {
    co_await actions::click(context);
  } else if (type == "type") {
    co_await actions::typeText(context);
  } else if (type == "key") {
    actions::key(context);
  } else if (type == "scroll") {
    actions::scroll(context);
  } else if (type == "wait") {
    co_await wait(context);
  } else {
    throw invalidArgument("Unknown action type: " + type);
  }
}

// A failure inside the loop, with what was done so far and where it stopped.
NativeFailure withProgress(const NativeFailure& failure, const Json& completed, std::size_t index) {
  Json details = failure.details().is_object() ? failure.details() : Json::object();
  details["completedActions"] = completed;
  details["failedIndex"] = index;
  return failure.withDetails(std::move(details));
}

// A cancellation of the batch: nothing but what was done and where it stopped.
NativeFailure stopped(const Json& completed, std::size_t index) {
  return NativeFailure("cancelled", "Operation stopped",
                       Json{{"completedActions", completed}, {"failedIndex", index}});
}

}  // namespace

runtime::Task<Json> NativeRuntime::act(const Json& params, const std::string& operation) {
  if (!desktop_.isProcessTrusted()) {
    throw NativeFailure("missingPermission", "macOS Accessibility access is required",
                        Json{{"permission", "accessibility"}});
  }
  CheckedTarget target = checkedTarget(*this, params);
  const desktop::RunningApplication app = std::move(target.app);
  const Observation observation = target.observation;  // the store may drop it during the batch
  const Json& actionList = checkedActions(params);
  if (operations_.busyOperation()) {
    throw NativeFailure("inputBusy", "Another native input operation is active");
  }
  BatchLock lock(*this, operation, observation.id);
  userInput_.start();
  if (NativeParameters::boolean(params, "focus") == true) {
    // Its failures end the batch unchanged; a cancellation is one before the first action.
    try {
      co_await focusApplication(params);
    } catch (const runtime::Cancelled&) {
      throw stopped(Json::array(), 0);
    }
  }

  const runtime::TaskEnvironment& environment = co_await runtime::currentEnvironment();
  const std::uint64_t epoch = userInput_.epoch();
  Json completed = Json::array();
  for (std::size_t index = 0; index < actionList.size(); ++index) {
    const actions::StepContext context{
        *this, actionList[index], app, observation, epoch, environment.cancellation.get()};
    try {
      actions::throwIfCancelled(context);
      actions::throwIfUserInput(context, "User input detected; stopped before the next action");
      std::string type = NativeParameters::string(context.action, "type");
      if (type != "wait") {
        checkedTarget(*this, params);
      }
      co_await runStep(type, context);
      completed.push_back(
          Json{{"index", index}, {"type", std::move(type)}, {"status", "dispatched"}});
      // The pause belongs to the action before it: a cancellation here reports this index.
      co_await runtime::sleepFor(kPauseAfterAction);
    } catch (const NativeFailure& failure) {
      throw withProgress(failure, completed, index);
    } catch (const runtime::Cancelled&) {
      throw stopped(completed, index);
    }
  }
  co_return Json{{"operationId", operation},
                 {"bundleId", app.bundleID.value_or(observation.bundleID)},
                 {"pid", app.pid},
                 {"actions", std::move(completed)},
                 {"requiresObservation", true}};
}

}  // namespace qor
