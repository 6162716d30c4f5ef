#include "platform/freedesktop/app_events.h"

#include <cctype>
#include <chrono>

#include "platform/dbus/dbus.h"

namespace qor::platform {
namespace {

using desktop::PlatformError;
using desktop::Result;

constexpr FourCharCode kCoreEvents = fourCharLiteral("aevt");
constexpr FourCharCode kOpenApplication = fourCharLiteral("oapp");
constexpr FourCharCode kReopenApplication = fourCharLiteral("rapp");
constexpr FourCharCode kOpenDocuments = fourCharLiteral("odoc");
constexpr FourCharCode kQuitApplication = fourCharLiteral("quit");

constexpr const char* kApplicationInterface = "org.freedesktop.Application";

// "scheme://..." with a scheme of letters, digits, "+", "-" and ".", starting with a letter.
bool isURL(const std::string& text) {
  std::size_t colon = text.find("://");
  if (colon == std::string::npos || colon == 0 ||
      !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return false;
  }
  for (std::size_t i = 1; i < colon; ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  return true;
}

// A document reference as a URI: a file URL as it stands, text that is an absolute path as its
// file URL, text that is a URL as it stands.
std::optional<std::string> documentURI(const AppleDescriptor& item) {
  if (item.type == ae::kFileURL) {
    return fileURLPath(item) ? stringValue(item) : std::nullopt;
  }
  if (item.type != ae::kText && item.type != ae::kUTF8Text) {
    return std::nullopt;
  }
  std::optional<std::string> text = stringValue(item);
  if (!text) {
    return std::nullopt;
  }
  if (text->starts_with("/")) {
    return stringValue(fileURLDescriptor(*text));
  }
  return isURL(*text) ? text : std::nullopt;
}

EventPlan openPlan(const AppleEvent& event) {
  const AppleDescriptor* direct = nullptr;
  for (const auto& [keyword, value] : event.parameters) {
    if (keyword == ae::kDirectObject) {
      direct = &value;
    }
  }
  EventPlan plan;
  if (!direct) {
    plan.refusal = kDescriptorNotFound;
    return plan;
  }
  std::vector<AppleDescriptor> items =
      direct->type == ae::kList ? direct->items : std::vector<AppleDescriptor>{*direct};
  for (const AppleDescriptor& item : items) {
    std::optional<std::string> uri = documentURI(item);
    if (!uri) {
      plan.uris.clear();
      break;
    }
    plan.uris.push_back(std::move(*uri));
  }
  if (plan.uris.empty()) {
    plan.refusal = kCoercionFailed;
    return plan;
  }
  plan.call = ApplicationCall::open;
  return plan;
}

int appendEmptyPlatformData(sd_bus_message* message) {
  return sd_bus_message_append(message, "a{sv}", 0);
}

bool isTimeout(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.NoReply" ||
         errorName == "org.freedesktop.DBus.Error.Timeout" ||
         errorName == "org.freedesktop.DBus.Error.TimedOut";
}

// The application is on the bus but does not offer what the event needs.
bool isNotOffered(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.UnknownMethod" ||
         errorName == "org.freedesktop.DBus.Error.UnknownObject" ||
         errorName == "org.freedesktop.DBus.Error.UnknownInterface";
}

bool isGone(const std::string& errorName) {
  return errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         errorName == "org.freedesktop.DBus.Error.NameHasNoOwner";
}

// Whether the application's exported actions (org.gtk.Actions) include `action`.
bool listsAction(sd_bus* bus, const std::string& id, const std::string& path, const char* action,
                 std::chrono::microseconds timeout) {
  dbus::Reply reply = dbus::call(bus, id.c_str(), path.c_str(), "org.gtk.Actions", "List", timeout);
  if (!reply.ok() || sd_bus_message_enter_container(reply.message.get(), 'a', "s") < 0) {
    return false;
  }
  const char* name = nullptr;
  while (sd_bus_message_read(reply.message.get(), "s", &name) > 0) {
    if (std::string(name) == action) {
      return true;
    }
  }
  return false;
}

dbus::Reply callApplication(sd_bus* bus, const std::string& id, const std::string& path,
                            const EventPlan& plan, std::chrono::microseconds timeout) {
  switch (plan.call) {
    case ApplicationCall::open:
      return dbus::call(bus, id.c_str(), path.c_str(), kApplicationInterface, "Open", timeout,
                        [&](sd_bus_message* m) {
                          int status = sd_bus_message_open_container(m, 'a', "s");
                          for (const std::string& uri : plan.uris) {
                            status =
                                status < 0 ? status : sd_bus_message_append(m, "s", uri.c_str());
                          }
                          status = status < 0 ? status : sd_bus_message_close_container(m);
                          return status < 0 ? status : appendEmptyPlatformData(m);
                        });
    case ApplicationCall::quit:
      return dbus::call(bus, id.c_str(), path.c_str(), kApplicationInterface, "ActivateAction",
                        timeout, [](sd_bus_message* m) {
                          int status = sd_bus_message_append(m, "sav", "quit", 0);
                          return status < 0 ? status : appendEmptyPlatformData(m);
                        });
    case ApplicationCall::activate:
    case ApplicationCall::none:
      break;
  }
  return dbus::call(bus, id.c_str(), path.c_str(), kApplicationInterface, "Activate", timeout,
                    appendEmptyPlatformData);
}

}  // namespace

EventPlan planEvent(const AppleEvent& event) {
  EventPlan plan;
  plan.refusal = kEventNotHandled;
  if (event.eventClass != kCoreEvents) {
    return plan;
  }
  switch (event.eventID) {
    case kOpenApplication:
    case kReopenApplication:
      return EventPlan{ApplicationCall::activate, {}, std::nullopt};
    case kQuitApplication:
      return EventPlan{ApplicationCall::quit, {}, std::nullopt};
    case kOpenDocuments:
      return openPlan(event);
    default:
      return plan;
  }
}

std::optional<std::string> applicationObjectPath(const std::string& applicationID) {
  if (!dbus::isValidWellKnownName(applicationID)) {
    return std::nullopt;
  }
  std::string path = "/" + applicationID;
  for (char& c : path) {
    c = c == '.' ? '/' : c == '-' ? '_' : c;
  }
  return path;
}

AppleDescriptor refusalReply(std::int32_t status) {
  return eventDescriptor({{ae::kErrorNumber, integerDescriptor(status)}});
}

// Blocks for at most `timeoutSeconds` (twice for quit, whose action list is asked first). The
// event goes to the instance that owns the application id on the session bus.
Result<AppleDescriptor> sendApplicationEvent(const AppleEvent& event, int timeoutSeconds) {
  EventPlan plan = planEvent(event);
  if (plan.refusal) {
    return refusalReply(*plan.refusal);
  }
  const std::string& id = event.targetBundleID;
  std::optional<std::string> path = applicationObjectPath(id);
  if (!path) {
    return PlatformError{"The application " + id + " is not on the session bus"};
  }
  dbus::Bus session = dbus::openSession();
  if (!session) {
    return PlatformError{"The session bus cannot be reached"};
  }
  std::chrono::microseconds timeout = std::chrono::seconds(timeoutSeconds);
  if (plan.call == ApplicationCall::quit &&
      !listsAction(session.get(), id, *path, "quit", timeout)) {
    return refusalReply(kEventNotHandled);
  }
  dbus::Reply reply = callApplication(session.get(), id, *path, plan, timeout);
  if (reply.ok()) {
    return eventDescriptor({});
  }
  if (isNotOffered(reply.errorName)) {
    return refusalReply(kEventNotHandled);
  }
  if (isTimeout(reply.errorName)) {
    return PlatformError{"The application did not answer within " + std::to_string(timeoutSeconds) +
                         (timeoutSeconds == 1 ? " second" : " seconds")};
  }
  if (isGone(reply.errorName)) {
    return PlatformError{"The application " + id + " is not on the session bus"};
  }
  return PlatformError{reply.errorText.empty() ? reply.errorName : reply.errorText};
}

}  // namespace qor::platform
