#pragma once
// The class behind makeX11Desktop(), shared by the files that implement it. It composes the
// accessibility tree (platform/atspi) and the freedesktop conventions (platform/freedesktop),
// handing them what only X11 knows: the window list, whose windows they are, and the focus.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "desktop/desktop.h"
#include "platform/atspi/accessibility.h"
#include "platform/atspi/atspi_bus.h"
#include "platform/freedesktop/desktop_entries.h"
#include "platform/freedesktop/opening.h"
#include "platform/freedesktop/screen_saver.h"
#include "platform/x11/keyboard_map.h"
#include "platform/x11/x_input.h"
#include "platform/x11/x_server.h"
#include "runtime/event_loop.h"

namespace qor::platform {

class X11Desktop final : public desktop::Desktop, private LaunchSession {
 public:
  X11Desktop(runtime::EventLoop& loop, std::unique_ptr<XServer> x);
  ~X11Desktop() override;

  desktop::PlatformInfo platformInfo() override;

  bool isProcessTrusted() override;
  void promptForAccessibility() override;
  bool preflightScreenCapture() override;
  void requestScreenCapture() override {}
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
  std::chrono::milliseconds prepareTyping(const std::vector<std::u16string>& characters) override;
  std::optional<std::uint64_t> foregroundMark() override;

  void shareableWindows(
      std::function<void(desktop::Result<std::vector<desktop::ShareableWindow>>)> done) override;
  void captureWindow(const desktop::ShareableWindow& window, std::uint32_t width,
                     std::uint32_t height,
                     std::function<void(desktop::Result<desktop::Image>)> done) override;

  desktop::Result<AppleDescriptor> sendAppleEvent(const AppleEvent& event,
                                                  int timeoutSeconds) override;

 private:
  std::vector<desktop::RunningApplication> applicationsFrom(
      const std::vector<ClientWindow>& windows);

  // What opening applications asks of the window system.
  Snapshot launchSnapshot() override;
  std::vector<desktop::RunningApplication> launchApplications() override;
  bool activateApplication(const desktop::RunningApplication& app) override;
  std::optional<std::uint32_t> activeWindow() override;
  bool activeWindowOwnedBy(desktop::Pid pid) override;
  void activateWindow(std::uint32_t window) override;

  // Input, monitor and lock (x11_input.cpp).
  void startInput();
  void stopInput();
  void releaseSpareKeycodes();
  bool send(desktop::Pid pid, const desktop::MouseEvent& event);
  bool send(desktop::Pid pid, const desktop::ScrollEvent& event);
  bool send(desktop::Pid pid, const desktop::KeyEvent& event);
  bool lookUpStrokes(const std::vector<Keysym>& keysyms, std::vector<KeyStroke>& strokes);
  bool pressKeys(const std::vector<KeyStroke>& modifiers, const std::vector<KeyStroke>& strokes,
                 const std::optional<KeyStroke>& shift);
  bool keyboardFocusedOn(desktop::Pid pid);
  bool ownedBy(std::uint32_t window, desktop::Pid pid);
  // Waits long enough for applications to take up a change of the keyboard mapping, reading
  // the raw input events that arrive meanwhile.
  void letApplicationsCatchUp();
  void lingerSpareKeycodes();
  void noteRawEvent(XInput::Source source);

  runtime::EventLoop& loop_;
  std::unique_ptr<XServer> x_;
  std::optional<runtime::EventLoop::WatchId> xWatch_;
  AtspiBus bus_;
  AtspiAccessibility accessibility_;
  DesktopEntries entries_;
  ApplicationOpener opener_{loop_, entries_, *this};
  // Input, monitor and lock.
  std::unique_ptr<XInput> input_;
  std::optional<runtime::EventLoop::WatchId> inputWatch_;
  KeyboardMap keyboard_{*x_, [this] { letApplicationsCatchUp(); }};
  std::optional<runtime::EventLoop::TimerId> restoreTimer_;
  std::int64_t bridgeMarker_ = 0;  // the marker of the events the bridge sends
  std::pair<std::uint32_t, std::optional<desktop::Pid>> activeOwner_;  // last active window
  // What foregroundMark() last saw (X server changes, screen saver changes, input focus) and
  // the mark it gave; the focus it read, for the key event that follows it.
  using ForegroundState = std::tuple<std::uint64_t, std::uint64_t, std::uint32_t>;
  std::optional<ForegroundState> markedState_;
  std::uint64_t foregroundMark_ = 0;
  std::optional<std::uint32_t> syncedFocus_;
  // The active window and whether the focus lies in it, as seen under one state of the
  // foreground (the X server's change count and the input focus).
  struct FocusSeen {
    std::uint64_t changes = 0;
    std::uint32_t focus = 0;
    std::optional<std::uint32_t> window;
    std::optional<bool> within;
  };
  FocusSeen focusSeen_;
  std::map<desktop::MonitorHandle, std::function<void(const desktop::MonitoredEvent&)>> monitors_;
  desktop::MonitorHandle nextMonitor_ = 1;
  std::vector<desktop::MonitoredEvent> pendingMonitored_;
  ScreenSaver screenSaver_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qor::platform
