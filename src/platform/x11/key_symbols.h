#pragma once
// The pure rules that turn the bridge's input events into X11 terms: macOS virtual key codes
// (US ANSI layout) and modifier flags into keysyms, typed characters into keysyms, and pixel
// scroll deltas into wheel button clicks. No X connection here.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qor::platform {

using Keysym = std::uint32_t;

inline constexpr Keysym kShiftL = 0xffe1;
inline constexpr Keysym kControlL = 0xffe3;
inline constexpr Keysym kAltL = 0xffe9;

// The keysym of the unshifted key that a macOS virtual key code names on a US keyboard; nothing
// for codes without a key on a PC keyboard (the ISO section key, the Fn key, Japanese keys, gaps).
std::optional<Keysym> keysymForMacKey(std::uint16_t keyCode);

// The modifier keys to hold for a set of event flags, in the order they are pressed. "command"
// and "control" both hold Control: Control is the shortcut modifier of Linux applications, so a
// controller's command+a selects all there too.
std::vector<Keysym> modifierKeysyms(std::uint64_t flags);

// The keysyms that type one character (UTF-16 units of one grapheme cluster), one per code
// point: Latin-1 and Unicode keysyms, Return for a line break (once for CR LF), Tab, BackSpace,
// Escape and Delete for their control characters. Unpaired surrogates are left out.
std::vector<Keysym> keysymsForText(const std::u16string& units);

// Wheel buttons: 4 up, 5 down, 6 left, 7 right.
struct WheelClicks {
  std::uint8_t button = 0;
  int count = 0;
};
// How many pixels one wheel notch stands for.
inline constexpr int kPixelsPerNotch = 40;
// The wheel clicks for a scroll of `deltaY` (positive: up) and `deltaX` (positive: left) pixels,
// as macOS counts them. Every non-zero delta gives at least one notch; vertical comes first.
std::vector<WheelClicks> wheelClicks(std::int32_t deltaY, std::int32_t deltaX);

}  // namespace qor::platform
