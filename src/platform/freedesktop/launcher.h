#pragma once
// Starting programs for the desktop: detached from the bridge (own session, standard streams on
// /dev/null, so nothing they print can reach the bridge's protocol stream) and reaped at once.

#include <string>
#include <vector>

#include "desktop/desktop.h"

namespace qor::platform {

// Starts `arguments` (the program is looked up on PATH) in `workingDirectory` (unless empty)
// and gives its process id, or the reason it could not be started.
desktop::Result<desktop::Pid> spawnDetached(const std::vector<std::string>& arguments,
                                            const std::string& workingDirectory);

}  // namespace qor::platform
