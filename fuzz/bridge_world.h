#pragma once
// The simulated desktop the bridge fuzzer talks to: a few applications with windows, trees,
// installed bundles, scripted Apple Event replies and capture images, arranged so that every
// method can get past its checks and reach the platform.
//
// Applications (bundle identifier, pid, what is special about it):
//   com.example.editor    501  in front; window 42 with a varied tree, 43 off screen, 44 without
//                              an Accessibility element (captured at scale 2); a terminated
//                              instance (pid 502) comes first in the list; automation granted
//   com.example.other     600  window 60; comes to the front 100 ms after activation; automation
//                              not determined (a prompt grants it)
//   com.example.stubborn  700  does not answer Accessibility and refuses activation; window 70 with
//                              an image smaller than the window, 71 with a malformed image;
//                              automation denied
//   com.example.helper    800  accessory application without windows
//   (no identifier)       900  one window
// Installed but not running: com.example.viewer (gets window 90 and a tree when launched).

#include <cstdint>

#include "platform/sim/sim_desktop.h"

namespace qor::fuzzing {

inline constexpr desktop::Pid kEditorPid = 501;
inline constexpr std::int64_t kEditorWindow = 42;

// Fills `desktop` with the applications above.
void populate(sim::SimDesktop& desktop);

}  // namespace qor::fuzzing
