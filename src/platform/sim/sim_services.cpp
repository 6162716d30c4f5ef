// Accessibility, synthetic input with the user-input monitor, screen capture and Apple Events of
// the simulated desktop.
#include <algorithm>
#include <iterator>
#include <limits>
#include <set>
#include <variant>

#include "platform/sim/sim_desktop.h"

namespace qor::sim {

using desktop::AXError;
using desktop::ElementRef;
using desktop::Pid;

// ---- Accessibility
// --------------------------------------------------------------------------------

ElementRef SimDesktop::applicationElement(Pid pid) {
  note("applicationElement");
  SimApplication* app = findApplication(pid);
  if (!app) {
    // Like the platform: an element for any pid, which then fails every request.
    auto orphan = sim::element("AXApplication");
    orphan->setOwner(pid);
    return orphan;
  }
  app->element->setOwner(pid);
  return app->element;
}

void SimDesktop::setMessagingTimeout(const ElementRef& handle, double seconds) {
  note("setMessagingTimeout");
  const SimElement* element = simElement(handle);
  log.messagingTimeouts.push_back({element ? element->owner() : std::nullopt, seconds});
}

void SimDesktop::adoptTrees() {
  std::set<const SimElement*> visited;
  for (const SimApplication& app : applications) {
    std::vector<SimElement::Ptr> pending{app.element};
    while (!pending.empty()) {
      SimElement::Ptr next = std::move(pending.back());
      pending.pop_back();
      if (!visited.insert(next.get()).second) {
        continue;
      }
      if (!next->owner()) {
        next->setOwner(app.pid);
      }
      std::ranges::move(next->linkedElements(), std::back_inserter(pending));
    }
  }
}

// An element answers only while it exists and its application runs and answers. Elements that
// were never handed out (a test stored them directly) are looked up in the applications' trees;
// one that belongs to no tree answers on its own.
AXError SimDesktop::reach(const ElementRef& handle, const SimElement** element) {
  *element = simElement(handle);
  if (!*element) {
    return desktop::kAXErrorIllegalArgument;
  }
  if (!(*element)->isValid()) {
    return desktop::kAXErrorInvalidUIElement;
  }
  if (!(*element)->owner()) {
    adoptTrees();
  }
  std::optional<Pid> owner = (*element)->owner();
  if (!owner) {
    return desktop::kAXSuccess;
  }
  SimApplication* app = findApplication(*owner);
  if (!app || app->terminated) {
    return desktop::kAXErrorInvalidUIElement;
  }
  if (!app->answersAccessibility) {
    return desktop::kAXErrorCannotComplete;
  }
  return desktop::kAXSuccess;
}

// Elements handed out belong to the application their parent was reached from.
void SimDesktop::handOut(const desktop::AXValue& value, std::optional<Pid> owner) {
  if (!owner) {
    return;
  }
  if (const auto* single = std::get_if<ElementRef>(&value)) {
    if (const SimElement* element = simElement(*single)) {
      element->setOwner(*owner);
    }
  } else if (const auto* list = std::get_if<std::vector<ElementRef>>(&value)) {
    for (const ElementRef& item : *list) {
      if (const SimElement* element = simElement(item)) {
        element->setOwner(*owner);
      }
    }
  }
}

desktop::AXRead SimDesktop::copyAttribute(const ElementRef& handle, const std::string& attribute) {
  desktop::AXRead read;
  copyAttributeInto(handle, attribute, read);
  return read;
}

void SimDesktop::copyAttributeInto(const ElementRef& handle, const std::string& attribute,
                                   desktop::AXRead& read) {
  note("copyAttribute ", attribute);
  if (onAttributeRead) {
    onAttributeRead(attribute);
  }
  const SimElement* element = nullptr;
  if (AXError error = reach(handle, &element); error != desktop::kAXSuccess) {
    read = {error, std::monostate{}};
    return;
  }
  element->readInto(attribute, read);
  handOut(read.value, element->owner());
}

AXError SimDesktop::copyActionNames(const ElementRef& handle, std::vector<std::string>& names) {
  note("copyActionNames");
  const SimElement* element = nullptr;
  if (AXError error = reach(handle, &element); error != desktop::kAXSuccess) {
    return error;
  }
  return element->copyActionNames(names);
}

AXError SimDesktop::performAction(const ElementRef& handle, const std::string& action) {
  note("performAction");
  const SimElement* element = nullptr;
  AXError result = reach(handle, &element);
  auto shared = std::static_pointer_cast<const SimElement>(handle);
  if (result == desktop::kAXSuccess) {
    // The desktop owns the model; handles are const only towards the bridge.
    result = const_cast<SimElement*>(element)->perform(action);
  }
  log.actions.push_back({element ? shared : nullptr, action, result});
  return result;
}

AXError SimDesktop::setStringValue(const ElementRef& handle, const std::string& attribute,
                                   const std::string& value) {
  note("setStringValue");
  const SimElement* element = nullptr;
  AXError result = reach(handle, &element);
  auto shared = std::static_pointer_cast<const SimElement>(handle);
  if (result == desktop::kAXSuccess) {
    result = const_cast<SimElement*>(element)->writeString(attribute, value);
  }
  log.writes.push_back({element ? shared : nullptr, attribute, value, result});
  return result;
}

// ---- Synthetic input and the monitor
// --------------------------------------------------------------

namespace {

// The kinds of event the user-input monitor watches: presses, key downs and scrolls (moves and
// drags never come from the bridge).
std::optional<std::int64_t> watchedMarker(const desktop::InputEvent& event) {
  if (const auto* mouse = std::get_if<desktop::MouseEvent>(&event)) {
    bool press = mouse->type == desktop::MouseEventType::leftDown ||
                 mouse->type == desktop::MouseEventType::rightDown;
    return press ? std::optional(mouse->marker) : std::nullopt;
  }
  if (const auto* key = std::get_if<desktop::KeyEvent>(&event)) {
    return key->down ? std::optional(key->marker) : std::nullopt;
  }
  return std::get<desktop::ScrollEvent>(event).marker;
}

}  // namespace

desktop::PostResult SimDesktop::post(Pid pid, const desktop::InputEvent& event) {
  note("post");
  if (eventCreationLimit && log.events.size() >= *eventCreationLimit) {
    return desktop::PostResult::couldNotCreate;
  }
  log.events.push_back({pid, event});
  if (echoPostedEventsToMonitor) {
    if (std::optional<std::int64_t> marker = watchedMarker(event)) {
      loop_.post([this, marker] {
        for (auto& [handle, handler] : std::map(monitors_)) {
          handler(desktop::MonitoredEvent{marker});
        }
      });
    }
  }
  return desktop::PostResult::posted;
}

std::optional<desktop::MonitorHandle> SimDesktop::addGlobalMonitor(
    std::function<void(const desktop::MonitoredEvent&)> handler) {
  note("addGlobalMonitor");
  if (refuseMonitor) {
    return std::nullopt;
  }
  desktop::MonitorHandle handle = nextMonitor_++;
  monitors_[handle] = std::move(handler);
  log.monitors.push_back({true, handle});
  return handle;
}

void SimDesktop::removeMonitor(desktop::MonitorHandle handle) {
  note("removeMonitor");
  monitors_.erase(handle);
  log.monitors.push_back({false, handle});
}

void SimDesktop::injectUserInput(std::optional<std::int64_t> sourceUserData) {
  // A copy: a handler may install or remove monitors.
  for (auto& [handle, handler] : std::map(monitors_)) {
    handler(desktop::MonitoredEvent{sourceUserData});
  }
}

// ---- Screen capture
// -------------------------------------------------------------------------------

// On-screen windows with a number and bounds, as the capture service lists them; the owner is
// known only while its application runs.
std::vector<desktop::ShareableWindow> SimDesktop::shareable() const {
  std::vector<desktop::ShareableWindow> result;
  for (const SimWindow& w : windows) {
    if (!w.onScreen || !w.bounds || !w.number || *w.number < 0 ||
        *w.number > std::numeric_limits<std::uint32_t>::max()) {
      continue;
    }
    desktop::ShareableWindow entry;
    entry.number = static_cast<std::uint32_t>(*w.number);
    for (const SimApplication& app : applications) {
      if (w.ownerPID == app.pid && !app.terminated) {
        entry.ownerPID = app.pid;
      }
    }
    entry.layer = w.layer.value_or(0);
    entry.frame = *w.bounds;
    entry.pointPixelScale = w.pointPixelScale;
    result.push_back(entry);
  }
  return result;
}

void SimDesktop::shareableWindows(
    std::function<void(desktop::Result<std::vector<desktop::ShareableWindow>>)> done) {
  note("shareableWindows");
  schedule(AsyncCall::shareableWindows, listingPlan, [this, done = std::move(done)] {
    if (listingPlan.failure) {
      return done(*listingPlan.failure);
    }
    done(shareable());
  });
}

desktop::Image SimDesktop::render(const SimWindow& w, std::uint32_t width,
                                  std::uint32_t height) const {
  if (w.image) {
    return *w.image;
  }
  desktop::Image image{width, height, {}};
  image.rgba.reserve(std::size_t{width} * height * 4);
  for (std::size_t pixel = 0; pixel < std::size_t{width} * height; ++pixel) {
    image.rgba.insert(image.rgba.end(), w.fill.begin(), w.fill.end());
  }
  return image;
}

void SimDesktop::captureWindow(const desktop::ShareableWindow& target, std::uint32_t width,
                               std::uint32_t height,
                               std::function<void(desktop::Result<desktop::Image>)> done) {
  note("captureWindow");
  log.captures.push_back({target.number, width, height});
  std::uint32_t number = target.number;
  schedule(AsyncCall::captureWindow, capturePlan,
           [this, number, width, height, done = std::move(done)] {
             if (capturePlan.failure) {
               return done(*capturePlan.failure);
             }
             for (const SimWindow& w : windows) {
               if (w.number == number && w.onScreen) {
                 return done(render(w, width, height));
               }
             }
             done(desktop::PlatformError{"The window is no longer available for capture"});
           });
}

// ---- Apple Events
// ---------------------------------------------------------------------------------

desktop::Result<AppleDescriptor> SimDesktop::sendAppleEvent(const AppleEvent& event,
                                                            int timeoutSeconds) {
  note("sendAppleEvent");
  log.appleEvents.push_back({event, timeoutSeconds});
  auto scripted = appleEventReplies.find({event.eventClass, event.eventID});
  if (scripted != appleEventReplies.end()) {
    return scripted->second;
  }
  return eventDescriptor({{ae::kErrorNumber, integerDescriptor(kAppleEventNotHandled)}});
}

}  // namespace qor::sim
