#pragma once
// A desktop that finds nothing and holds no permissions: what the bridge sees where no desktop
// session can be reached.

#include <memory>

#include "desktop/desktop.h"
#include "runtime/event_loop.h"

namespace qor::platform {

std::unique_ptr<desktop::Desktop> makeNoneDesktop(runtime::EventLoop& loop);

}  // namespace qor::platform
