#include "platform/freedesktop/opening.h"

#include <chrono>

#include "platform/freedesktop/launcher.h"
#include "platform/freedesktop/processes.h"

namespace qor::platform {

using namespace desktop;
using namespace std::chrono_literals;

namespace {

constexpr auto kPollInterval = 50ms;
// How long an application may take to show a window before opening it counts as failed.
constexpr auto kLaunchLimit = 30s;
// An application that registered for Accessibility but shows no window is taken as ready after
// this long (background applications never show one).
constexpr auto kWindowlessGrace = 1s;
// How long after the started process ended another process of the application may still
// appear (a launcher script that starts the real program, or a handover to a running one).
constexpr auto kHandoverGrace = 3s;

}  // namespace

struct ApplicationOpener::LaunchWait {
  std::string entryID;
  Pid pid = 0;
  bool activates = true;
  bool documents = false;
  std::optional<std::uint32_t> previousActive;
  std::set<Pid> before;
  runtime::MonoTime deadline;
  std::optional<runtime::MonoTime> registeredSince;
  std::optional<runtime::MonoTime> exitedSince;
  std::function<void(Result<RunningApplication>)> done;
};

void ApplicationOpener::open(const std::vector<std::string>& paths, const std::string& location,
                             bool activates, std::function<void(Result<RunningApplication>)> done) {
  auto fail = [&](std::string description) {
    loop_.post([done = std::move(done), description = std::move(description)] {
      done(PlatformError{description});
    });
  };
  const DesktopEntry* entry = entries_.byPath(location);
  if (!entry) {
    return fail("No application is installed at " + location);
  }
  std::vector<RunningApplication> running = session_.launchApplications();
  if (paths.empty()) {
    // Opening a running application gives the running instance.
    for (const RunningApplication& app : running) {
      if (app.bundleID == entry->id && !app.terminated) {
        if (activates) {
          session_.activateApplication(app);
        }
        loop_.post([done = std::move(done), app] { done(app); });
        return;
      }
    }
  }
  std::optional<std::vector<std::string>> arguments = commandLine(*entry, paths);
  if (!arguments) {
    return fail("The desktop entry " + location + " has no command to run");
  }
  Result<Pid> spawned = spawnDetached(*arguments, entry->workingDirectory);
  if (const auto* error = std::get_if<PlatformError>(&spawned)) {
    return fail(error->description);
  }
  auto wait = std::make_shared<LaunchWait>();
  wait->entryID = entry->id;
  wait->pid = std::get<Pid>(spawned);
  wait->activates = activates;
  wait->documents = !paths.empty();
  wait->previousActive = session_.activeWindow();
  for (const RunningApplication& app : running) {
    wait->before.insert(app.pid);
  }
  wait->deadline = loop_.clock().now() + kLaunchLimit;
  wait->done = std::move(done);
  loop_.addTimer(loop_.clock().now() + kPollInterval,
                 [this, alive = std::weak_ptr<bool>(alive_), wait] {
                   if (alive.lock()) {
                     pollLaunch(wait);
                   }
                 });
}

// Done when the started process (or a new process of the same application) shows an
// application window on screen, or has registered for Accessibility a moment ago.
void ApplicationOpener::pollLaunch(std::shared_ptr<LaunchWait> wait) {
  runtime::MonoTime now = loop_.clock().now();
  LaunchSession::Snapshot seen = session_.launchSnapshot();
  const RunningApplication* candidate = nullptr;
  const RunningApplication* instance = nullptr;  // any instance, for documents handed over
  for (const RunningApplication& app : seen.applications) {
    if (app.bundleID == wait->entryID && !instance) {
      instance = &app;
    }
    bool ours =
        app.pid == wait->pid || (!wait->before.count(app.pid) && app.bundleID == wait->entryID);
    if (!ours) {
      continue;
    }
    candidate = &app;
    if (seen.showingWindow.count(app.pid)) {
      return finishLaunch(wait, app);
    }
  }
  if (candidate && seen.registered.count(candidate->pid)) {
    wait->registeredSince = wait->registeredSince.value_or(now);
    if (now - *wait->registeredSince >= kWindowlessGrace) {
      return finishLaunch(wait, *candidate);
    }
  }
  std::optional<ProcessFacts> started = readProcess(wait->pid);
  bool ended = !started || started->zombie;
  if (!candidate && ended) {
    if (wait->documents && instance) {
      return finishLaunch(wait, *instance);  // the running instance took the documents
    }
    wait->exitedSince = wait->exitedSince.value_or(now);
    if (now - *wait->exitedSince >= kHandoverGrace) {
      return finishLaunch(wait, PlatformError{"The application ended before it showed a window"});
    }
  }
  if (now >= wait->deadline) {
    return finishLaunch(wait,
                        PlatformError{"The application did not show a window within 30 seconds"});
  }
  loop_.addTimer(now + kPollInterval, [this, alive = std::weak_ptr<bool>(alive_), wait] {
    if (alive.lock()) {
      pollLaunch(wait);
    }
  });
}

void ApplicationOpener::finishLaunch(const std::shared_ptr<LaunchWait>& wait,
                                     Result<RunningApplication> result) {
  if (const auto* app = std::get_if<RunningApplication>(&result)) {
    if (wait->activates) {
      session_.activateApplication(*app);
    } else if (wait->previousActive) {
      // Window managers focus new windows; hand the focus back when the launch should not
      // have taken it.
      if (session_.activeWindowOwnedBy(app->pid)) {
        session_.activateWindow(*wait->previousActive);
      }
    }
  }
  wait->done(std::move(result));
}

}  // namespace qor::platform
