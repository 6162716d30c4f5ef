#pragma once
// Scaled applications. The bridge speaks in one coordinate space, points, which on X11 are the
// root window's pixels (a capture therefore has one pixel per point). An application drawn at
// a scale (GDK_SCALE, QT_SCALE_FACTOR, a browser's device scale factor) reports its
// Accessibility extents in its own logical pixels, a scale-th of the screen's. No toolkit says
// its scale over AT-SPI, so it is learned from what both sides say of the same window: the
// application's extents of a top-level window against that window's geometry on the X server.

#include <optional>

#include "core/geometry.h"

namespace qor::platform {

// The scale at which `reported` (an application's extents of a window) describes `screen` (the
// window's rectangle on the X server), in steps of a quarter; nothing when they do not describe
// the same rectangle at any scale up to 4. Each reported edge may be off by half a logical pixel
// from rounding, so the match allows that and one screen pixel more.
std::optional<double> scaleBetween(const Frame& reported, const Frame& screen);

// `reported` in screen pixels, for an application drawn at `scale` whose reported coordinates
// start at `origin` on the screen (the screen's own origin unless it reports relative to its
// window).
Frame toScreen(const Frame& reported, double scale, Point origin = {});

// Some toolkits report every extent relative to the object's top-level window, the window itself
// at (0, 0). Where that window is on the screen is learned from its X window's client area: the
// toolkit may draw margins of its own around its window (resize borders, a shadow it announces
// nowhere), the same on every side. Nothing when `topLevel` (the window's reported extents) is
// not at the origin or does not fit `client` so.
std::optional<Point> windowRelativeOrigin(const Frame& topLevel, const Frame& client);

// The scale of a toolkit that reports its window at (0, 0) (see windowRelativeOrigin), which
// says nothing of where the window is: the largest whole scale at which `topLevel` fits `client`
// within even margins. Such a toolkit draws at whole scales only (GTK 4 on X11). Nothing when it
// fits at no scale up to 4.
std::optional<double> windowRelativeScale(const Frame& topLevel, const Frame& client);

// Whether a top-level window reports itself at (0, 0).
bool reportsAtOrigin(const Frame& topLevel);

}  // namespace qor::platform
