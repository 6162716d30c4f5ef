#include "platform/x11/x11_desktop.h"

#include <poll.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>

#include "platform/freedesktop/app_events.h"
#include "platform/freedesktop/applications.h"
#include "platform/freedesktop/icons.h"
#include "platform/freedesktop/processes.h"
#include "platform/x11/x11_desktop_impl.h"

namespace qor::platform {

using namespace desktop;

namespace {

// The window as the accessibility tree is matched against it.
PlacedWindow placedWindow(const ClientWindow& window) {
  return PlacedWindow{window.pid, window.title, window.client, window.frame()};
}

// The window as the running applications are told apart by it.
ProcessWindow processWindow(const ClientWindow& window) {
  return ProcessWindow{window.id,
                       window.pid,
                       windowLayer(window) == 0,
                       window.applicationID,
                       window.classInstance,
                       window.className};
}

}  // namespace

std::unique_ptr<Desktop> makeX11Desktop(runtime::EventLoop& loop) {
  std::unique_ptr<XServer> x = XServer::connect();
  if (!x || !x->alive()) {
    return nullptr;
  }
  return std::make_unique<X11Desktop>(loop, std::move(x));
}

X11Desktop::X11Desktop(runtime::EventLoop& loop, std::unique_ptr<XServer> x)
    : loop_(loop),
      x_(std::move(x)),
      bus_(loop, [this](const std::string& name) { return x_->rootStringProperty(name); }),
      accessibility_(loop, bus_, [this] {
        std::vector<PlacedWindow> placed;
        for (const ClientWindow& window : x_->clientWindows()) {
          placed.push_back(placedWindow(window));
        }
        return placed;
      }) {
  xWatch_ = loop_.watchFd(x_->fileDescriptor(), POLLIN, [this](short) {
    x_->drainEvents();
    if (!x_->alive() && xWatch_) {
      loop_.unwatchFd(*xWatch_);  // the server is gone: stop polling a dead descriptor
      xWatch_.reset();
    }
  });
  startInput();
}

X11Desktop::~X11Desktop() {
  stopInput();
  if (xWatch_) {
    loop_.unwatchFd(*xWatch_);
  }
}

PlatformInfo X11Desktop::platformInfo() {
  utsname names{};
  std::string architecture = uname(&names) == 0 ? names.machine : "unknown";
  return PlatformInfo{"linux", architecture, "debian-12"};
}

// Trusted: the accessibility bus can be reached and accessibility is switched on.
bool X11Desktop::isProcessTrusted() {
  return bus_.reachable() && bus_.accessibilityEnabled().value_or(false);
}

void X11Desktop::promptForAccessibility() {
  bus_.enableAccessibility();
}

bool X11Desktop::preflightScreenCapture() {
  return x_->alive();
}

// Granted (0) when the application's well-known name is on the session bus; -600 (not
// running) otherwise. Nothing here ever prompts.
std::int32_t X11Desktop::automationStatus(const std::string& bundleID, bool) {
  return bus_.sessionNameHasOwner(bundleID) ? 0 : -600;
}

std::vector<RunningApplication> X11Desktop::applicationsFrom(
    const std::vector<ClientWindow>& windows) {
  ApplicationSources sources;
  for (const ClientWindow& window : windows) {
    sources.windows.push_back(processWindow(window));
  }
  sources.activeWindow = x_->activeWindow();
  if (bus_.reachable()) {
    for (const AtspiApplication& app : accessibility_.applications()) {
      sources.atspi.emplace_back(app.pid, std::string());
    }
  }
  return assembleApplications(sources, entries_.all(), readProcess, getpid());
}

std::vector<RunningApplication> X11Desktop::runningApplications() {
  return applicationsFrom(x_->clientWindows());
}

std::vector<RunningApplication> X11Desktop::runningApplications(const std::string& bundleID) {
  std::vector<RunningApplication> apps = runningApplications();
  std::erase_if(apps, [&](const RunningApplication& app) { return app.bundleID != bundleID; });
  return apps;
}

std::optional<RunningApplication> X11Desktop::frontmostApplication() {
  for (RunningApplication& app : runningApplications()) {
    if (app.active) {
      return app;
    }
  }
  return std::nullopt;
}

bool X11Desktop::isTerminated(const RunningApplication& app) {
  return !processRunning(app.pid, app.launchDate);
}

std::optional<std::string> X11Desktop::applicationLocation(const std::string& bundleID) {
  if (const DesktopEntry* entry = entries_.byID(bundleID)) {
    return entry->path;
  }
  return std::nullopt;
}

std::vector<InstalledApplication> X11Desktop::installedApplications() {
  std::vector<InstalledApplication> apps;
  for (const DesktopEntry& entry : entries_.all()) {
    if (!entry.noDisplay) {
      apps.push_back(
          InstalledApplication{entry.id, entry.name.empty() ? entry.id : entry.name, entry.path});
    }
  }
  return apps;
}

// Asks the window manager to activate the application's frontmost application window,
// restoring it when minimised.
bool X11Desktop::activate(const RunningApplication& app) {
  std::vector<ClientWindow> windows = x_->clientWindows();
  std::stable_partition(windows.begin(), windows.end(),
                        [](const ClientWindow& window) { return window.onScreen(); });
  for (const ClientWindow& window : windows) {
    if (window.pid == app.pid && windowLayer(window) == 0) {
      return x_->requestActivation(window.id);
    }
  }
  return false;
}

std::optional<std::vector<std::uint8_t>> X11Desktop::iconPNG(const std::string& path, int size) {
  const DesktopEntry* entry = entries_.byPath(path);
  return entry ? platform::iconPNG(entry->icon, size) : std::nullopt;
}

void X11Desktop::openApplication(const std::string& location, bool activates,
                                 std::function<void(Result<RunningApplication>)> done) {
  opener_.open({}, location, activates, std::move(done));
}

void X11Desktop::openDocuments(const std::vector<std::string>& paths, const std::string& location,
                               bool activates,
                               std::function<void(Result<RunningApplication>)> done) {
  opener_.open(paths, location, activates, std::move(done));
}

LaunchSession::Snapshot X11Desktop::launchSnapshot() {
  std::vector<ClientWindow> windows = x_->clientWindows();
  Snapshot snapshot;
  snapshot.applications = applicationsFrom(windows);
  for (const AtspiApplication& app : accessibility_.applications()) {
    snapshot.registered.insert(app.pid);
  }
  for (const ClientWindow& window : windows) {
    if (window.pid && window.onScreen() && windowLayer(window) == 0) {
      snapshot.showingWindow.insert(*window.pid);
    }
  }
  return snapshot;
}

std::vector<RunningApplication> X11Desktop::launchApplications() {
  return runningApplications();
}

bool X11Desktop::activateApplication(const RunningApplication& app) {
  return activate(app);
}

std::optional<std::uint32_t> X11Desktop::activeWindow() {
  return x_->activeWindow();
}

bool X11Desktop::activeWindowOwnedBy(Pid pid) {
  std::optional<std::uint32_t> active = x_->activeWindow();
  std::vector<ClientWindow> windows = x_->clientWindows();
  return std::any_of(windows.begin(), windows.end(), [&](const ClientWindow& window) {
    return window.id == active && window.pid == pid;
  });
}

void X11Desktop::activateWindow(std::uint32_t window) {
  x_->requestActivation(window);
}

Result<AppleDescriptor> X11Desktop::sendAppleEvent(const AppleEvent& event, int timeoutSeconds) {
  return sendApplicationEvent(event, timeoutSeconds);
}

std::vector<WindowRecord> X11Desktop::onScreenWindows() {
  std::vector<WindowRecord> records;
  for (const ClientWindow& window : x_->clientWindows()) {
    std::optional<std::int64_t> layer = windowLayer(window);
    if (!window.onScreen() || !layer) {
      continue;
    }
    WindowRecord record;
    if (window.pid) {
      record.ownerPID = *window.pid;
    }
    record.layer = layer;
    record.number = window.id;
    record.bounds = window.client;
    record.name = window.title;
    records.push_back(std::move(record));
  }
  return records;
}

ElementRef X11Desktop::applicationElement(Pid pid) {
  return accessibility_.applicationElement(pid);
}

void X11Desktop::setMessagingTimeout(const ElementRef& element, double seconds) {
  accessibility_.setMessagingTimeout(element, seconds);
}

AXRead X11Desktop::copyAttribute(const ElementRef& element, const std::string& attribute) {
  return accessibility_.copyAttribute(element, attribute);
}

AXError X11Desktop::copyActionNames(const ElementRef& element, std::vector<std::string>& names) {
  return accessibility_.copyActionNames(element, names);
}

AXError X11Desktop::performAction(const ElementRef& element, const std::string& action) {
  return accessibility_.performAction(element, action);
}

AXError X11Desktop::setStringValue(const ElementRef& element, const std::string& attribute,
                                   const std::string& value) {
  return accessibility_.setStringValue(element, attribute, value);
}

void X11Desktop::shareableWindows(std::function<void(Result<std::vector<ShareableWindow>>)> done) {
  Result<std::vector<ShareableWindow>> result = PlatformError{"The X server connection was lost"};
  if (x_->alive()) {
    std::vector<ShareableWindow> windows;
    for (const ClientWindow& window : x_->clientWindows()) {
      std::optional<std::int64_t> layer = windowLayer(window);
      if (window.onScreen() && layer) {
        windows.push_back(ShareableWindow{window.id, window.pid, *layer, window.client, 1.0});
      }
    }
    result = std::move(windows);
  }
  loop_.post(
      [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
}

// The pixels on screen where the window is; without a compositor what covers the window is
// captured with it.
void X11Desktop::captureWindow(const ShareableWindow& window, std::uint32_t width,
                               std::uint32_t height, std::function<void(Result<Image>)> done) {
  Result<Image> image = x_->captureArea(window.frame, width, height);
  loop_.post(
      [done = std::move(done), image = std::move(image)]() mutable { done(std::move(image)); });
}

}  // namespace qor::platform
