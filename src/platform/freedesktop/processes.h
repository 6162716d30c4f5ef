#pragma once
// What /proc tells about a process: when it started (its launch date) and which program it runs.

#include <optional>
#include <string>

#include "desktop/desktop.h"

namespace qor::platform {

struct ProcessFacts {
  desktop::Pid pid = 0;
  // Start time as nanoseconds since the Unix epoch: boot time plus the start tick, so the same
  // process always gives the same value and a reused process id gives another.
  std::optional<desktop::LaunchDate> started;
  bool zombie = false;
  std::string executable;  // base name of the program file, else the process name
};

// Nothing when the process does not exist (or cannot be read).
std::optional<ProcessFacts> readProcess(desktop::Pid pid);

// Whether the process that started at `started` still runs under `pid`.
bool processRunning(desktop::Pid pid, const std::optional<desktop::LaunchDate>& started);

}  // namespace qor::platform
