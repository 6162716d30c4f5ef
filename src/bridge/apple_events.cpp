#include "bridge/native_runtime.h"
#include "bridge/platform_result.h"
#include "core/apple_event_json.h"
#include "core/native_parameters.h"

namespace qor {
namespace {

constexpr int kDefaultTimeoutSeconds = 5;
constexpr int kLongestTimeoutSeconds = 15;

// Converts every entry of "parameters"; a value that is not a typed descriptor object refuses.
// Absent or not an object: the event goes without parameters.
decltype(AppleEvent::parameters) eventParameters(const Json& params) {
  decltype(AppleEvent::parameters) converted;
  const Json* given = NativeParameters::find(params, "parameters");
  if (given == nullptr || !given->is_object()) {
    return converted;
  }
  for (const auto& [keyword, value] : given->items()) {
    if (!value.is_object()) {
      throw invalidArgument("Apple Event parameters require typed descriptors");
    }
    AppleDescriptor descriptor = appleDescriptor(value, 0);
    converted.push_back({fourChar(keyword), std::move(descriptor)});
  }
  return converted;
}

// A reply whose error number is set and not zero is a refusal by the application.
void throwIfReplyFailed(const AppleDescriptor& reply) {
  const AppleDescriptor* number = field(reply, ae::kErrorNumber);
  std::optional<std::int32_t> status = number ? int32Value(*number) : std::nullopt;
  if (!status || *status == 0) {
    return;
  }
  const AppleDescriptor* text = field(reply, ae::kErrorString);
  std::optional<std::string> message = text ? stringValue(*text) : std::nullopt;
  throw NativeFailure("appleEventFailed",
                      message && !message->empty() ? *message : "Application rejected Apple Event",
                      Json{{"status", *status}});
}

}  // namespace

// Sends only to an application the user has already allowed; never asks the user itself.
Json NativeRuntime::appleEvent(const Json& params) {
  desktop::RunningApplication app = targetApp(params);
  std::string bundleID = app.bundleID.value_or("");
  if (!automationPermission(bundleID, false)["granted"].get<bool>()) {
    throw NativeFailure("missingPermission",
                        "macOS Automation access is required for the selected application",
                        Json{{"permission", "automation"}, {"bundleId", bundleID}});
  }
  AppleEvent event;
  event.eventClass = fourChar(NativeParameters::string(params, "eventClass"));
  event.eventID = fourChar(NativeParameters::string(params, "eventId"));
  event.targetBundleID = bundleID;
  event.parameters = eventParameters(params);
  auto timeout = NativeParameters::boundedInt(NativeParameters::find(params, "timeoutSeconds"),
                                              kDefaultTimeoutSeconds, 1, kLongestTimeoutSeconds);

  AppleDescriptor reply = valueOrThrow(desktop_.sendAppleEvent(event, static_cast<int>(timeout)));
  throwIfReplyFailed(reply);
  const AppleDescriptor* direct = field(reply, ae::kDirectObject);
  return Json{{"bundleId", bundleID},
              {"pid", app.pid},
              {"reply", decodeAppleDescriptor(direct ? *direct : reply, 0)}};
}

}  // namespace qor
