#pragma once
// Running applications: the processes that own top-level windows or are registered on the
// AT-SPI bus, each with the identity the bridge calls its bundle identifier. The windows are
// described by the window system that lists them (the X11 desktop reads them from the window
// manager's properties).

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "desktop/desktop.h"
#include "platform/freedesktop/desktop_entries.h"
#include "platform/freedesktop/processes.h"

namespace qor::platform {

// A top-level window, reduced to what tells whose it is.
struct ProcessWindow {
  std::uint32_t id = 0;
  std::optional<desktop::Pid> pid;
  bool applicationLayer = false;             // a managed application window (dialogs count)
  std::optional<std::string> applicationID;  // the toolkit's application id (GTK's)
  std::optional<std::string> classInstance;  // WM_CLASS, first part
  std::optional<std::string> className;      // WM_CLASS, second part
};

// Everything known about one process.
struct ProcessEvidence {
  ProcessFacts facts;
  std::vector<const ProcessWindow*> windows;  // front to back
  std::optional<std::string> atspiName;       // the name it registered on the AT-SPI bus
};

struct Identity {
  std::string bundleID;
  const DesktopEntry* entry = nullptr;  // the desktop entry that stands for it, if any
};

// The application identity, first rule that applies:
// 1. the GTK application id (_GTK_APPLICATION_ID) when a desktop entry has that id;
// 2. the desktop entry whose StartupWMClass is the window's WM_CLASS class or instance;
// 3. the desktop entry whose id is the WM_CLASS instance or class (ignoring case);
// 4. the GTK application id;
// 5. the desktop entry whose Exec runs the process's program;
// 6. the WM_CLASS class (else instance), lower-cased;
// 7. the program name, lower-cased.
// Rules 2 and 3 come before 4 so that a running application and its desktop entry (what
// launching uses) agree even when the entry is not named after the application id.
Identity identify(const ProcessEvidence& process, const std::vector<DesktopEntry>& entries);

desktop::RunningApplication describeApplication(const ProcessEvidence& process,
                                                const Identity& identity, bool active);

struct ApplicationSources {
  std::vector<ProcessWindow> windows;                       // front to back
  std::vector<std::pair<desktop::Pid, std::string>> atspi;  // registered processes and names
  std::optional<std::uint32_t> activeWindow;
};

// One entry per process (but never `self`), in launch order (then process id).
std::vector<desktop::RunningApplication> assembleApplications(
    const ApplicationSources& sources, const std::vector<DesktopEntry>& entries,
    const std::function<std::optional<ProcessFacts>(desktop::Pid)>& readFacts, desktop::Pid self);

}  // namespace qor::platform
