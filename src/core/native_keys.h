#pragma once
// Key and modifier names of a key action, turned into a virtual key code (US ANSI layout, 0...127)
// and keyboard event modifier flags. Pure; safe from any thread.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/json.h"

namespace qor::NativeKeys {

// Event modifier flag masks.
inline constexpr std::uint64_t kShiftFlag = 0x20000;
inline constexpr std::uint64_t kControlFlag = 0x40000;
inline constexpr std::uint64_t kAlternateFlag = 0x80000;
inline constexpr std::uint64_t kCommandFlag = 0x100000;

// The 63 lower-case key names and their virtual key codes. Built on first use (thread-safe) and
// never changed afterwards.
const std::map<std::string, std::uint16_t, std::less<>>& named();

// A key given by name (any letter case) or by an integral, non-boolean number in 0...127. A string
// is never read as a number. Absent (nullptr) and everything else throws NativeFailure
// "invalidArgument" "Unknown key; use a named key or macOS virtual key code 0...127".
std::uint16_t code(const Json* value);

// The union of the flags named (exact spelling: "command", "shift", "option", "alt", "control").
// The first other name throws NativeFailure "invalidArgument" "Unknown key modifier: " + name.
std::uint64_t flags(const std::vector<std::string>& names);

}  // namespace qor::NativeKeys
