#pragma once
// Opening applications (and documents in them) through their desktop entries, and waiting until
// the application can be worked with. Which windows a process shows and which one has the focus
// is for the window system to say: the desktop that composes this one hands it in as a
// LaunchSession. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "desktop/desktop.h"
#include "platform/freedesktop/desktop_entries.h"
#include "runtime/event_loop.h"

namespace qor::platform {

// What opening an application needs of the window system and the accessibility bus.
class LaunchSession {
 public:
  virtual ~LaunchSession() = default;

  struct Snapshot {
    std::vector<desktop::RunningApplication> applications;
    std::set<desktop::Pid> showingWindow;  // processes with an application window on screen
    std::set<desktop::Pid> registered;     // processes registered for Accessibility
  };
  // The running applications and the windows they show, read together.
  virtual Snapshot launchSnapshot() = 0;
  virtual std::vector<desktop::RunningApplication> launchApplications() = 0;
  virtual bool activateApplication(const desktop::RunningApplication& app) = 0;
  // The window that has the focus, as the session names it to activate it again.
  virtual std::optional<std::uint32_t> activeWindow() = 0;
  virtual bool activeWindowOwnedBy(desktop::Pid pid) = 0;
  virtual void activateWindow(std::uint32_t window) = 0;
};

class ApplicationOpener {
 public:
  // `entries` and `session` must outlive the opener.
  ApplicationOpener(runtime::EventLoop& loop, DesktopEntries& entries, LaunchSession& session)
      : loop_(loop), entries_(entries), session_(session) {}

  // Opens the application whose desktop entry is at `location`, with `paths` as documents, and
  // calls `done` from the loop once it shows a window (or failed to). Opening a running
  // application without documents gives the running instance.
  void open(const std::vector<std::string>& paths, const std::string& location, bool activates,
            std::function<void(desktop::Result<desktop::RunningApplication>)> done);

 private:
  struct LaunchWait;

  void pollLaunch(std::shared_ptr<LaunchWait> wait);
  void finishLaunch(const std::shared_ptr<LaunchWait>& wait,
                    desktop::Result<desktop::RunningApplication> result);

  runtime::EventLoop& loop_;
  DesktopEntries& entries_;
  LaunchSession& session_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qor::platform
