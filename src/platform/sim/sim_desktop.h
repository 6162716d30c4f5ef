#pragma once
// The simulated desktop: an in-memory model of applications, windows, Accessibility trees and
// platform services that tests arrange and change at any moment (also while a batch or a focus
// wait is suspended), and a log of everything the bridge asked of it. A test double only: it is
// never the product's backend.
//
// Asynchronous calls (open, shareable windows, capture) complete through the loop, never inside
// the call; their plans can hold them pending or make them fail. Results are computed when a
// call completes, so a test can move a window while a capture is held and then release it.
//
// Main-loop thread only, like every desktop.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/desktop.h"
#include "platform/sim/sim_element.h"
#include "platform/sim/sim_model.h"
#include "runtime/event_loop.h"

namespace qor::sim {

inline constexpr std::int32_t kAutomationNotDetermined = -1744;
inline constexpr std::int32_t kAppleEventNotHandled = -1708;

class SimDesktop final : public desktop::Desktop {
 public:
  explicit SimDesktop(runtime::EventLoop& loop);

  // ---- The model (change freely)
  // -----------------------------------------------------------------
  desktop::PlatformInfo platform{"macOS", "arm64", "15.0"};

  bool accessibilityTrusted = true;
  bool screenCaptureGranted = true;
  // Automation status per bundle identifier (kAutomationNotDetermined when absent). A prompt
  // (automationStatus with ask) replaces a not-determined status with the answer given here.
  std::map<std::string, std::int32_t> automation;
  std::map<std::string, std::int32_t> automationPromptAnswers;

  // Applications in the platform's order. References stay valid until the application is removed.
  std::list<SimApplication> applications;
  std::optional<desktop::Pid> frontmostPid;
  // Installed bundles: location by bundle identifier, and the installed-applications list.
  std::map<std::string, std::string> bundleLocations;
  std::vector<InstalledApplication> installed;
  // Icons by file path: a square of this RGBA colour, rendered as a PNG of the requested size.
  std::map<std::string, std::array<std::uint8_t, 4>> icons;
  // Called with every application the workspace launches, to give it windows and a tree.
  std::map<std::string, std::function<void(SimApplication&)>> launchHooks;

  // The window server's list, front to back (on-screen or not).
  std::vector<SimWindow> windows;
  // Session lock: nothing when the platform cannot tell.
  std::optional<bool> screenLock = false;

  // Plans of the asynchronous calls.
  AsyncPlan openApplicationPlan;
  AsyncPlan openDocumentsPlan;
  AsyncPlan listingPlan;  // shareableWindows
  AsyncPlan capturePlan;  // captureWindow
  // Opens report this running application instead of the one opened (identity mismatch).
  std::optional<desktop::Pid> openReportsPid;

  // Apple Event replies by (class, id); an unscripted event gets a reply whose 'errn' is
  // kAppleEventNotHandled.
  std::map<std::pair<FourCharCode, FourCharCode>, desktop::Result<AppleDescriptor>>
      appleEventReplies;

  // Input: the platform refuses the global monitor; events beyond this many posted cannot be
  // created; posted events the monitor watches are also reported to it (with their marker).
  bool refuseMonitor = false;
  std::optional<std::size_t> eventCreationLimit;
  bool echoPostedEventsToMonitor = false;

  SimLog log;
  // Benchmarks turn this off: recording each call as text would be counted as the bridge's cost.
  bool recordCalls = true;
  // Runs at the start of every attribute read, for example to move a virtual clock while a walk
  // reads the tree.
  std::function<void(const std::string& attribute)> onAttributeRead;

  // ---- Arranging
  // -----------------------------------------------------------------------------------
  SimApplication& addApplication(SimApplication app);
  // A regular application with a launch date, named after the last part of its identifier.
  SimApplication& addApplication(desktop::Pid pid, const std::string& bundleID);
  // The application with this pid; throws std::out_of_range when there is none.
  SimApplication& application(desktop::Pid pid);
  void removeApplication(desktop::Pid pid);
  // Adds the bundle to both the location map and the installed list.
  void install(const std::string& bundleID, const std::string& name, const std::string& path);

  SimWindow& addWindow(SimWindow window);  // at the back of the list
  // An on-screen layer-0 window at the back of the list.
  SimWindow& addWindow(std::int64_t number, desktop::Pid owner, Frame bounds,
                       std::optional<std::string> title = std::nullopt);
  // The window with this number; throws std::out_of_range when there is none.
  SimWindow& window(std::int64_t number);
  void bringToFront(std::int64_t number);
  void removeWindow(std::int64_t number);

  // Completions held by a plan.
  std::size_t heldCount(AsyncCall kind) const;
  // Completes the oldest held call of this kind (through the loop); false when none is held.
  bool release(AsyncCall kind);

  // The user touches mouse or keyboard: every installed monitor handler runs at once with an event
  // whose source user data is `sourceUserData` (nothing: no underlying event).
  void injectUserInput(std::optional<std::int64_t> sourceUserData = 0);
  std::size_t installedMonitorCount() const { return monitors_.size(); }

  // Pids handed to launched applications start here.
  desktop::Pid nextPid = 5000;

  // ---- desktop::Desktop
  // ----------------------------------------------------------------------------
  desktop::PlatformInfo platformInfo() override;

  bool isProcessTrusted() override;
  void promptForAccessibility() override;
  bool preflightScreenCapture() override;
  void requestScreenCapture() override;
  std::int32_t automationStatus(const std::string& bundleID, bool ask) override;

  std::vector<desktop::RunningApplication> runningApplications() override;
  std::vector<desktop::RunningApplication> runningApplications(
      const std::string& bundleID) override;
  std::optional<desktop::RunningApplication> frontmostApplication() override;
  bool isTerminated(const desktop::RunningApplication& app) override;
  std::optional<std::string> applicationLocation(const std::string& bundleID) override;
  std::vector<InstalledApplication> installedApplications() override;
  std::optional<std::vector<std::uint8_t>> iconPNG(const std::string& path, int size) override;
  bool activate(const desktop::RunningApplication& app) override;
  void openApplication(
      const std::string& location, bool activates,
      std::function<void(desktop::Result<desktop::RunningApplication>)> done) override;
  void openDocuments(
      const std::vector<std::string>& paths, const std::string& location, bool activates,
      std::function<void(desktop::Result<desktop::RunningApplication>)> done) override;

  std::vector<desktop::WindowRecord> onScreenWindows() override;
  std::optional<bool> screenLocked() override;

  desktop::ElementRef applicationElement(desktop::Pid pid) override;
  void setMessagingTimeout(const desktop::ElementRef& element, double seconds) override;
  desktop::AXRead copyAttribute(const desktop::ElementRef& element,
                                const std::string& attribute) override;
  void copyAttributeInto(const desktop::ElementRef& element, const std::string& attribute,
                         desktop::AXRead& read) override;
  desktop::AXError copyActionNames(const desktop::ElementRef& element,
                                   std::vector<std::string>& names) override;
  desktop::AXError performAction(const desktop::ElementRef& element,
                                 const std::string& action) override;
  desktop::AXError setStringValue(const desktop::ElementRef& element, const std::string& attribute,
                                  const std::string& value) override;

  desktop::PostResult post(desktop::Pid pid, const desktop::InputEvent& event) override;
  std::optional<desktop::MonitorHandle> addGlobalMonitor(
      std::function<void(const desktop::MonitoredEvent&)> handler) override;
  void removeMonitor(desktop::MonitorHandle handle) override;

  void shareableWindows(
      std::function<void(desktop::Result<std::vector<desktop::ShareableWindow>>)> done) override;
  void captureWindow(const desktop::ShareableWindow& window, std::uint32_t width,
                     std::uint32_t height,
                     std::function<void(desktop::Result<desktop::Image>)> done) override;

  desktop::Result<AppleDescriptor> sendAppleEvent(const AppleEvent& event,
                                                  int timeoutSeconds) override;

 private:
  SimApplication* findApplication(desktop::Pid pid);
  SimApplication* findApplication(const desktop::RunningApplication& app);
  desktop::RunningApplication snapshot(const SimApplication& app) const;
  // Runs `complete` through the loop now, or keeps it until released when the plan holds.
  void schedule(AsyncCall kind, const AsyncPlan& plan, std::function<void()> complete);
  desktop::Result<desktop::RunningApplication> open(const OpenRequest& request);
  SimApplication& launch(const std::string& bundleID, const std::string& location);
  void bringApplicationForward(SimApplication& app);
  // The element behind a handle when its application answers, else the failure code.
  desktop::AXError reach(const desktop::ElementRef& handle, const SimElement** element);
  void handOut(const desktop::AXValue& value, std::optional<desktop::Pid> owner);
  // Gives every element reachable from an application's tree that application as its owner.
  void adoptTrees();
  std::vector<desktop::ShareableWindow> shareable() const;
  desktop::Image render(const SimWindow& window, std::uint32_t width, std::uint32_t height) const;
  void note(std::string_view call, std::string_view detail = {}) {
    if (recordCalls) {
      log.calls.push_back(detail.empty() ? std::string(call) : std::string(call) += detail);
    }
  }

  runtime::EventLoop& loop_;
  std::map<AsyncCall, std::deque<std::function<void()>>> held_;
  std::map<desktop::MonitorHandle, std::function<void(const desktop::MonitoredEvent&)>> monitors_;
  desktop::MonitorHandle nextMonitor_ = 1;
};

}  // namespace qor::sim
