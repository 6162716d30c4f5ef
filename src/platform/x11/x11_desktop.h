#pragma once
// The Linux desktop backend: X11 (through XCB) for windows, activation and images, AT-SPI2 over
// D-Bus (sd-bus) for Accessibility, desktop entries for installed applications and launching.
// docs/linux-backend.md describes how each notion of the desktop interface maps.

#include <memory>

#include "desktop/desktop.h"
#include "runtime/event_loop.h"

namespace qor::platform {

// Null when no X display can be opened; the caller then falls back to a desktop that finds
// nothing. Creating it writes nothing to standard error.
std::unique_ptr<desktop::Desktop> makeX11Desktop(runtime::EventLoop& loop);

}  // namespace qor::platform
