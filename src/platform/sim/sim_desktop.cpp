// The workspace, window list, session, permissions and asynchronous calls of the simulated
// desktop. Accessibility, input, screen capture and Apple Events are in sim_services.cpp.
#include "platform/sim/sim_desktop.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "core/png.h"

namespace qor::sim {

using desktop::Pid;
using desktop::PlatformError;
using desktop::Result;
using desktop::RunningApplication;

namespace {
// Launch dates of applications added by pid: fixed, so that tests are repeatable.
constexpr desktop::LaunchDate kBaseLaunchDate = 1'700'000'000'000'000'000;

// A real PNG of `side` x `side` pixels in one colour, as the platform's icon renderer gives.
std::optional<std::vector<std::uint8_t>> solidPNG(std::uint32_t side,
                                                  const std::array<std::uint8_t, 4>& colour) {
  std::vector<std::uint8_t> rgba;
  rgba.reserve(std::size_t{side} * side * 4);
  for (std::size_t pixel = 0; pixel < std::size_t{side} * side; ++pixel) {
    rgba.insert(rgba.end(), colour.begin(), colour.end());
  }
  return encodePng(side, side, rgba, PngSettings{});
}
}  // namespace

bool SimLog::called(const std::string& name) const {
  return std::ranges::find(calls, name) != calls.end();
}

void SimWindow::moveBy(double dx, double dy) {
  if (bounds) {
    bounds->x += dx;
    bounds->y += dy;
  }
  if (element) {
    element->moveBy(dx, dy);
  }
}

void SimWindow::setFrame(Frame frame) {
  bounds = frame;
  if (element) {
    element->frame(frame);
  }
}

SimDesktop::SimDesktop(runtime::EventLoop& loop) : loop_(loop) {}

// ---- Arranging
// ------------------------------------------------------------------------------------

SimApplication& SimDesktop::addApplication(SimApplication app) {
  applications.push_back(std::move(app));
  return applications.back();
}

SimApplication& SimDesktop::addApplication(Pid pid, const std::string& bundleID) {
  SimApplication app;
  app.pid = pid;
  app.bundleID = bundleID;
  app.localizedName = bundleID.substr(bundleID.rfind('.') + 1);
  app.launchDate = kBaseLaunchDate + pid;
  return addApplication(std::move(app));
}

SimApplication& SimDesktop::application(Pid pid) {
  if (SimApplication* found = findApplication(pid)) {
    return *found;
  }
  throw std::out_of_range("no simulated application with pid " + std::to_string(pid));
}

void SimDesktop::removeApplication(Pid pid) {
  applications.remove_if([pid](const SimApplication& app) { return app.pid == pid; });
  if (frontmostPid == pid) {
    frontmostPid.reset();
  }
}

void SimDesktop::install(const std::string& bundleID, const std::string& name,
                         const std::string& path) {
  bundleLocations[bundleID] = path;
  installed.push_back({bundleID, name, path});
}

SimWindow& SimDesktop::addWindow(SimWindow window) {
  windows.push_back(std::move(window));
  return windows.back();
}

SimWindow& SimDesktop::addWindow(std::int64_t number, Pid owner, Frame bounds,
                                 std::optional<std::string> title) {
  SimWindow w;
  w.number = number;
  w.ownerPID = owner;
  w.bounds = bounds;
  w.title = std::move(title);
  return addWindow(std::move(w));
}

SimWindow& SimDesktop::window(std::int64_t number) {
  for (SimWindow& candidate : windows) {
    if (candidate.number == number) {
      return candidate;
    }
  }
  throw std::out_of_range("no simulated window " + std::to_string(number));
}

void SimDesktop::bringToFront(std::int64_t number) {
  auto found =
      std::ranges::find_if(windows, [number](const SimWindow& w) { return w.number == number; });
  if (found != windows.end()) {
    std::rotate(windows.begin(), found, found + 1);
  }
}

void SimDesktop::removeWindow(std::int64_t number) {
  std::erase_if(windows, [number](const SimWindow& w) { return w.number == number; });
}

SimApplication* SimDesktop::findApplication(Pid pid) {
  for (SimApplication& app : applications) {
    if (app.pid == pid) {
      return &app;
    }
  }
  return nullptr;
}

// The same process: pid and launch date both agree.
SimApplication* SimDesktop::findApplication(const RunningApplication& app) {
  SimApplication* found = findApplication(app.pid);
  return found && found->launchDate == app.launchDate ? found : nullptr;
}

RunningApplication SimDesktop::snapshot(const SimApplication& app) const {
  return RunningApplication{
      app.pid,        app.bundleID,         app.localizedName,       app.bundlePath,
      app.launchDate, app.activationPolicy, frontmostPid == app.pid, app.terminated};
}

// ---- Asynchronous calls
// ---------------------------------------------------------------------------

void SimDesktop::schedule(AsyncCall kind, const AsyncPlan& plan, std::function<void()> complete) {
  if (plan.hold) {
    held_[kind].push_back(std::move(complete));
  } else {
    loop_.post(std::move(complete));
  }
}

std::size_t SimDesktop::heldCount(AsyncCall kind) const {
  auto found = held_.find(kind);
  return found == held_.end() ? 0 : found->second.size();
}

bool SimDesktop::release(AsyncCall kind) {
  auto found = held_.find(kind);
  if (found == held_.end() || found->second.empty()) {
    return false;
  }
  loop_.post(std::move(found->second.front()));
  found->second.pop_front();
  return true;
}

// ---- Permissions
// ----------------------------------------------------------------------------------

desktop::PlatformInfo SimDesktop::platformInfo() {
  note("platformInfo");
  return platform;
}

bool SimDesktop::isProcessTrusted() {
  note("isProcessTrusted");
  return accessibilityTrusted;
}

void SimDesktop::promptForAccessibility() {
  note("promptForAccessibility");
  ++log.accessibilityPrompts;
}

bool SimDesktop::preflightScreenCapture() {
  note("preflightScreenCapture");
  return screenCaptureGranted;
}

void SimDesktop::requestScreenCapture() {
  note("requestScreenCapture");
  ++log.screenCapturePrompts;
}

std::int32_t SimDesktop::automationStatus(const std::string& bundleID, bool ask) {
  note("automationStatus");
  log.automationQueries.push_back({bundleID, ask});
  auto known = automation.find(bundleID);
  std::int32_t status = known == automation.end() ? kAutomationNotDetermined : known->second;
  if (ask && status == kAutomationNotDetermined) {
    if (auto answer = automationPromptAnswers.find(bundleID);
        answer != automationPromptAnswers.end()) {
      status = automation[bundleID] = answer->second;
    }
  }
  return status;
}

// ---- Workspace
// ------------------------------------------------------------------------------------

// Quit applications are gone from the full list; the lookup by bundle identifier may still
// report one that is quitting, which is why the bridge's target rule skips terminated ones.
std::vector<RunningApplication> SimDesktop::runningApplications() {
  note("runningApplications");
  std::vector<RunningApplication> result;
  for (const SimApplication& app : applications) {
    if (!app.terminated) {
      result.push_back(snapshot(app));
    }
  }
  return result;
}

std::vector<RunningApplication> SimDesktop::runningApplications(const std::string& bundleID) {
  note("runningApplications(bundleID)");
  std::vector<RunningApplication> result;
  for (const SimApplication& app : applications) {
    if (app.bundleID == bundleID) {
      result.push_back(snapshot(app));
    }
  }
  return result;
}

std::optional<RunningApplication> SimDesktop::frontmostApplication() {
  note("frontmostApplication");
  if (!frontmostPid) {
    return std::nullopt;
  }
  SimApplication* app = findApplication(*frontmostPid);
  return app ? std::optional(snapshot(*app)) : std::nullopt;
}

bool SimDesktop::isTerminated(const RunningApplication& app) {
  note("isTerminated");
  SimApplication* found = findApplication(app);
  return !found || found->terminated;
}

std::optional<std::string> SimDesktop::applicationLocation(const std::string& bundleID) {
  note("applicationLocation");
  auto found = bundleLocations.find(bundleID);
  return found == bundleLocations.end() ? std::nullopt : std::optional(found->second);
}

std::vector<InstalledApplication> SimDesktop::installedApplications() {
  note("installedApplications");
  return installed;
}

std::optional<std::vector<std::uint8_t>> SimDesktop::iconPNG(const std::string& path, int size) {
  note("iconPNG");
  auto found = icons.find(path);
  if (found == icons.end() || size <= 0) {
    return std::nullopt;
  }
  return solidPNG(static_cast<std::uint32_t>(size), found->second);
}

void SimDesktop::bringApplicationForward(SimApplication& app) {
  if (!app.comesToFront) {
    return;
  }
  if (app.activationDelay <= runtime::Duration::zero()) {
    frontmostPid = app.pid;
    return;
  }
  Pid pid = app.pid;
  loop_.addTimer(loop_.clock().now() + app.activationDelay, [this, pid] {
    if (SimApplication* still = findApplication(pid); still && !still->terminated) {
      frontmostPid = pid;
    }
  });
}

bool SimDesktop::activate(const RunningApplication& app) {
  note("activate");
  log.activations.push_back(app.pid);
  SimApplication* found = findApplication(app);
  if (!found || found->terminated || !found->acceptsActivation) {
    return false;
  }
  bringApplicationForward(*found);
  return true;
}

SimApplication& SimDesktop::launch(const std::string& bundleID, const std::string& location) {
  std::string name = std::filesystem::path(location).stem().string();
  for (const InstalledApplication& entry : installed) {
    if (entry.bundleID == bundleID) {
      name = entry.name;
    }
  }
  auto launched = loop_.clock().wallNow().time_since_epoch();
  SimApplication& app = addApplication(nextPid++, bundleID);
  app.localizedName = name;
  app.bundlePath = location;
  app.launchDate = std::chrono::duration_cast<std::chrono::nanoseconds>(launched).count();
  if (auto hook = launchHooks.find(bundleID); hook != launchHooks.end()) {
    hook->second(app);
  }
  return app;
}

// Opens the bundle at the request's location: the running instance if there is one, else a new
// launch. Which bundle a location holds comes from bundleLocations.
Result<RunningApplication> SimDesktop::open(const OpenRequest& request) {
  const AsyncPlan& plan =
      request.kind == AsyncCall::openDocuments ? openDocumentsPlan : openApplicationPlan;
  if (plan.failure) {
    return *plan.failure;
  }
  auto located = std::ranges::find_if(
      bundleLocations, [&](const auto& entry) { return entry.second == request.location; });
  if (located == bundleLocations.end()) {
    return PlatformError{"The application at " + request.location + " could not be opened"};
  }
  const std::string& bundleID = located->first;
  SimApplication* app = nullptr;
  for (SimApplication& candidate : applications) {
    if (candidate.bundleID == bundleID && !candidate.terminated) {
      app = &candidate;
      break;
    }
  }
  if (!app) {
    app = &launch(bundleID, request.location);
  }
  if (request.kind == AsyncCall::openDocuments) {
    app->openedDocuments.push_back(request.paths);
  }
  if (request.activates && app->acceptsActivation) {
    bringApplicationForward(*app);
  }
  if (openReportsPid) {
    if (SimApplication* reported = findApplication(*openReportsPid)) {
      return snapshot(*reported);
    }
  }
  return snapshot(*app);
}

void SimDesktop::openApplication(const std::string& location, bool activates,
                                 std::function<void(Result<RunningApplication>)> done) {
  note("openApplication");
  OpenRequest request{AsyncCall::openApplication, location, {}, activates};
  log.opens.push_back(request);
  schedule(AsyncCall::openApplication, openApplicationPlan,
           [this, request, done = std::move(done)] { done(open(request)); });
}

void SimDesktop::openDocuments(const std::vector<std::string>& paths, const std::string& location,
                               bool activates,
                               std::function<void(Result<RunningApplication>)> done) {
  note("openDocuments");
  OpenRequest request{AsyncCall::openDocuments, location, paths, activates};
  log.opens.push_back(request);
  schedule(AsyncCall::openDocuments, openDocumentsPlan,
           [this, request, done = std::move(done)] { done(open(request)); });
}

// ---- Window list and session
// ----------------------------------------------------------------------

std::vector<desktop::WindowRecord> SimDesktop::onScreenWindows() {
  note("onScreenWindows");
  std::vector<desktop::WindowRecord> records;
  for (const SimWindow& w : windows) {
    if (w.onScreen) {
      records.push_back({w.ownerPID, w.layer, w.number, w.bounds, w.title});
    }
  }
  return records;
}

std::optional<bool> SimDesktop::screenLocked() {
  note("screenLocked");
  return screenLock;
}

}  // namespace qor::sim
