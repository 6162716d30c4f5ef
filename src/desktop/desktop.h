#pragma once
// Everything the bridge needs of the operating system, in one interface. Backends: the simulated
// desktop (tests), X11 + AT-SPI2 (Linux), later macOS. The bridge includes this header and never a
// backend's own headers.
//
// Threading: every method is called on the main loop's thread. Methods that take a completion
// callback return at once and call it later on the main thread, never before they return.
// Names follow the macOS notions the protocol was written against; each backend documents how it
// maps them.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/apple_descriptor.h"
#include "core/geometry.h"
#include "core/installed_application.h"

namespace qor::desktop {

using Pid = std::int32_t;
// A launch date with the platform's own resolution, compared for exact equality.
using LaunchDate = std::int64_t;  // nanoseconds since the Unix epoch

// A platform failure: reported to the controller as "operationFailed" with this description.
struct PlatformError {
  std::string description;
};

template <class T>
using Result = std::variant<T, PlatformError>;

// ---------------------------------------------------------------------------------------------
// Workspace: running and installed applications.

enum class ActivationPolicy { regular = 0, accessory = 1, prohibited = 2 };

// A snapshot of one running application. Identity is (pid, launchDate); live state such as
// termination is asked of the desktop again with isTerminated().
struct RunningApplication {
  Pid pid = 0;
  std::optional<std::string> bundleID;  // absent or empty when the application has none
  std::optional<std::string> localizedName;
  std::optional<std::string> bundlePath;
  std::optional<LaunchDate> launchDate;
  ActivationPolicy activationPolicy = ActivationPolicy::regular;
  bool active = false;
  bool terminated = false;
};

// ---------------------------------------------------------------------------------------------
// Accessibility.

// An opaque, reference-counted handle to one element of another application's Accessibility tree.
// Backends derive from it; the bridge only copies handles and passes them back.
class Element {
 public:
  virtual ~Element() = default;
  // Equal for handles of the same element; may collide for distinct ones.
  virtual std::uint64_t identity() const = 0;
};
using ElementRef = std::shared_ptr<const Element>;

// Accessibility error codes as the platform reports them (0 is success).
using AXError = std::int32_t;
inline constexpr AXError kAXSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorNoValue = -25212;
inline constexpr AXError kAXErrorAPIDisabled = -25211;

// The kinds of value an attribute read can give. `std::monostate` is a value of any other kind
// (a range, an attributed string, ...), which every reader treats as unusable.
using AXValue = std::variant<std::monostate, std::string, std::int64_t, double, bool, ElementRef,
                             std::vector<ElementRef>, Point, Size>;

struct AXRead {
  AXError error = kAXErrorNoValue;
  AXValue value;
};

// ---------------------------------------------------------------------------------------------
// Window list.

// One entry of the window server's list. Every field may be missing, as on the platform.
struct WindowRecord {
  std::optional<std::int64_t> ownerPID;
  std::optional<std::int64_t> layer;
  std::optional<std::int64_t> number;
  std::optional<Frame> bounds;
  std::optional<std::string> name;
};

// ---------------------------------------------------------------------------------------------
// Synthetic input.

enum class MouseEventType { leftDown = 1, leftUp = 2, rightDown = 3, rightUp = 4 };
enum class MouseButton { left = 0, right = 1 };

struct MouseEvent {
  MouseEventType type = MouseEventType::leftDown;
  MouseButton button = MouseButton::left;
  Point location;
  std::int64_t clickState = 1;
  std::int64_t marker = 0;
};

struct ScrollEvent {
  Point location;
  std::int32_t deltaY = 0;  // wheel 1, pixels
  std::int32_t deltaX = 0;  // wheel 2, pixels
  std::int64_t marker = 0;
};

struct KeyEvent {
  std::uint16_t keyCode = 0;
  bool down = true;
  std::uint64_t flags = 0;             // the modifier masks of the key names table
  std::optional<std::u16string> text;  // set for typed text: the character's UTF-16 units
  std::int64_t marker = 0;
};

using InputEvent = std::variant<MouseEvent, ScrollEvent, KeyEvent>;

enum class PostResult { posted, couldNotCreate };

// What the user-input monitor learns of one watched event: the event-source user-data field of
// the underlying event, or nothing when there is no underlying event.
struct MonitoredEvent {
  std::optional<std::int64_t> sourceUserData;
};
using MonitorHandle = std::uint64_t;

// ---------------------------------------------------------------------------------------------
// Screen capture.

struct ShareableWindow {
  std::uint32_t number = 0;
  std::optional<Pid> ownerPID;  // absent when the owning application is unknown
  std::int64_t layer = 0;
  Frame frame;
  double pointPixelScale = 1.0;
};

// An image as 8-bit RGBA rows, top row first.
struct Image {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> rgba;
};

// ---------------------------------------------------------------------------------------------

// Where the bridge runs, as "capabilities" reports it.
struct PlatformInfo {
  std::string platform;      // "macOS", "linux"
  std::string architecture;  // "arm64", "x86_64", ...
  std::string minimumOS;     // the oldest system version supported
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  virtual PlatformInfo platformInfo() = 0;

  // Permissions.
  virtual bool isProcessTrusted() = 0;        // Accessibility, never prompts
  virtual void promptForAccessibility() = 0;  // shows the system prompt when needed
  virtual bool preflightScreenCapture() = 0;  // never prompts
  virtual void requestScreenCapture() = 0;    // shows the system prompt when needed
  // Automation status towards an application, for any event class and id (0 granted, -1744 not
  // yet asked, others the platform's). With `ask` the user may be prompted and the call waits.
  virtual std::int32_t automationStatus(const std::string& bundleID, bool ask) = 0;

  // Workspace.
  virtual std::vector<RunningApplication> runningApplications() = 0;  // platform order
  virtual std::vector<RunningApplication> runningApplications(const std::string& bundleID) = 0;
  virtual std::optional<RunningApplication> frontmostApplication() = 0;
  virtual bool isTerminated(const RunningApplication& app) = 0;
  virtual std::optional<std::string> applicationLocation(const std::string& bundleID) = 0;
  virtual std::vector<InstalledApplication> installedApplications() = 0;
  // PNG bytes of the icon of the file or bundle at `path`, rendered at `size` x `size`.
  virtual std::optional<std::vector<std::uint8_t>> iconPNG(const std::string& path, int size) = 0;
  // Asks the application to activate; returns whether the request was accepted.
  virtual bool activate(const RunningApplication& app) = 0;
  virtual void openApplication(const std::string& location, bool activates,
                               std::function<void(Result<RunningApplication>)> done) = 0;
  virtual void openDocuments(const std::vector<std::string>& paths, const std::string& location,
                             bool activates,
                             std::function<void(Result<RunningApplication>)> done) = 0;

  // Window list: on-screen windows only, desktop elements excluded, front to back.
  virtual std::vector<WindowRecord> onScreenWindows() = 0;

  // Session: whether the screen is locked; absent when the platform cannot tell.
  virtual std::optional<bool> screenLocked() = 0;

  // Accessibility.
  virtual ElementRef applicationElement(Pid pid) = 0;
  virtual void setMessagingTimeout(const ElementRef& element, double seconds) = 0;
  virtual AXRead copyAttribute(const ElementRef& element, const std::string& attribute) = 0;
  // The same read into `read`, reusing the room it holds: a text is copied into the string `read`
  // already has. A walk that reads thousands of texts into the same few reads then allocates
  // nothing for them. A failed read leaves no value.
  virtual void copyAttributeInto(const ElementRef& element, const std::string& attribute,
                                 AXRead& read) {
    read = copyAttribute(element, attribute);
  }
  // On success `names` holds the action names; a non-list answer gives an empty list.
  virtual AXError copyActionNames(const ElementRef& element, std::vector<std::string>& names) = 0;
  virtual AXError performAction(const ElementRef& element, const std::string& action) = 0;
  virtual AXError setStringValue(const ElementRef& element, const std::string& attribute,
                                 const std::string& value) = 0;

  // Synthetic input, delivered to `pid` only.
  virtual PostResult post(Pid pid, const InputEvent& event) = 0;
  // The global monitor of the user's own input (mouse down and move, drags, key down, scroll).
  // The handler runs on the main thread. Returns nothing when the platform refuses.
  virtual std::optional<MonitorHandle> addGlobalMonitor(
      std::function<void(const MonitoredEvent&)> handler) = 0;
  virtual void removeMonitor(MonitorHandle handle) = 0;

  // Typing. Readies the keyboard for these characters (each as its UTF-16 units) before the
  // first of them is posted, and returns how long to wait before posting it: a backend that
  // must change its keyboard mapping for them does so here, once for the whole text, and
  // applications take such a change up in their own time. Backends with nothing to ready wait
  // for nothing.
  virtual std::chrono::milliseconds prepareTyping(const std::vector<std::u16string>& characters) {
    (void)characters;
    return {};
  }
  // A mark of the foreground (the frontmost application and its windows' stacking, the screen
  // lock, the keyboard focus between windows) that stays the same for as long as the backend,
  // following the platform's events, knows none of it changed. The caller checks the
  // foreground in full whenever the mark differs from the one it checked under. Nothing when
  // the backend cannot tell, so that the caller checks every time.
  virtual std::optional<std::uint64_t> foregroundMark() { return std::nullopt; }

  // Screen capture.
  virtual void shareableWindows(std::function<void(Result<std::vector<ShareableWindow>>)> done) = 0;
  virtual void captureWindow(const ShareableWindow& window, std::uint32_t width,
                             std::uint32_t height, std::function<void(Result<Image>)> done) = 0;

  // Apple Events: sends and waits up to `timeoutSeconds` for the reply.
  virtual Result<AppleDescriptor> sendAppleEvent(const AppleEvent& event, int timeoutSeconds) = 0;
};

}  // namespace qor::desktop
