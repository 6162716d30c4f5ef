#pragma once
// The plain records a simulated desktop is made of, and the log of what the bridge did to it.
// Tests fill and change these directly; see sim_desktop.h.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/apple_descriptor.h"
#include "core/geometry.h"
#include "desktop/desktop.h"
#include "platform/sim/sim_element.h"
#include "runtime/clock.h"

namespace qor::sim {

// One running (or just quit) application.
struct SimApplication {
  desktop::Pid pid = 0;
  std::optional<std::string> bundleID;
  std::optional<std::string> localizedName;
  std::optional<std::string> bundlePath;
  std::optional<desktop::LaunchDate> launchDate;
  desktop::ActivationPolicy activationPolicy = desktop::ActivationPolicy::regular;
  bool terminated = false;
  // Activation: whether a request is accepted, and whether an accepted request brings the
  // application to the front (after `activationDelay`, measured on the loop's clock).
  bool acceptsActivation = true;
  bool comesToFront = true;
  runtime::Duration activationDelay{0};
  // An application that does not answer: every Accessibility request to it (and to its elements)
  // fails with kAXErrorCannotComplete.
  bool answersAccessibility = true;
  // The root of its Accessibility tree ("AXWindows", "AXFocusedWindow", "AXMenuBar", ...).
  SimElement::Ptr element = sim::element("AXApplication");
  // Every batch of documents the workspace opened in it, in order.
  std::vector<std::vector<std::string>> openedDocuments;
};

// One entry of the window server's list. Every field the bridge reads may be missing.
struct SimWindow {
  std::optional<std::int64_t> number;
  std::optional<std::int64_t> ownerPID;
  std::optional<std::int64_t> layer = 0;
  std::optional<Frame> bounds;
  std::optional<std::string> title;
  bool onScreen = true;  // minimised and hidden windows are not on screen
  // Screen capture: the display's pixels per point, and the image a capture gives (by default a
  // solid image of the requested size in `fill`).
  double pointPixelScale = 1.0;
  std::optional<desktop::Image> image;
  std::array<std::uint8_t, 4> fill = {0xC8, 0xC8, 0xC8, 0xFF};
  // The window's Accessibility element, if any: moveBy() and resize() keep it in step.
  SimElement::Ptr element;

  // Moves the bounds (and the element's position) by (dx, dy) points.
  void moveBy(double dx, double dy);
  // Sets the bounds (and the element's frame).
  void setFrame(Frame frame);
};

// How the simulated platform answers one kind of asynchronous call.
struct AsyncPlan {
  // Keep completions pending until the test releases them (SimDesktop::release).
  bool hold = false;
  // Complete with this error instead of a result (read when the call completes).
  std::optional<desktop::PlatformError> failure;
};

enum class AsyncCall { openApplication, openDocuments, shareableWindows, captureWindow };

// ---- The log
// --------------------------------------------------------------------------------------

struct PostedEvent {
  desktop::Pid pid = 0;
  desktop::InputEvent event;
};

struct OpenRequest {
  AsyncCall kind = AsyncCall::openApplication;  // openApplication or openDocuments
  std::string location;
  std::vector<std::string> paths;  // documents only
  bool activates = true;
};

struct PerformedAction {
  std::shared_ptr<const SimElement> element;
  std::string action;
  desktop::AXError result = desktop::kAXSuccess;
};

struct WrittenValue {
  std::shared_ptr<const SimElement> element;
  std::string attribute;
  std::string value;
  desktop::AXError result = desktop::kAXSuccess;
};

struct SentAppleEvent {
  AppleEvent event;
  int timeoutSeconds = 0;
};

struct CaptureRequest {
  std::uint32_t windowNumber = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct AutomationQuery {
  std::string bundleID;
  bool ask = false;
};

struct MessagingTimeout {
  std::optional<desktop::Pid> pid;  // of the element's application
  double seconds = 0;
};

struct MonitorChange {
  bool installed = true;  // false: removed
  desktop::MonitorHandle handle = 0;
};

struct SimLog {
  // Every interface method called, in order; attribute reads carry the attribute
  // ("copyAttribute AXRole"), so "nothing was asked of the desktop" is calls.empty().
  std::vector<std::string> calls;
  std::vector<PostedEvent> events;
  std::vector<OpenRequest> opens;
  std::vector<desktop::Pid> activations;
  std::vector<PerformedAction> actions;
  std::vector<WrittenValue> writes;
  std::vector<MonitorChange> monitors;
  std::vector<SentAppleEvent> appleEvents;
  std::vector<CaptureRequest> captures;
  std::vector<AutomationQuery> automationQueries;
  std::vector<MessagingTimeout> messagingTimeouts;
  int accessibilityPrompts = 0;
  int screenCapturePrompts = 0;

  bool called(const std::string& name) const;
};

}  // namespace qor::sim
