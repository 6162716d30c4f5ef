#pragma once
// The ordering of names shown to a person: case-insensitive, with runs of digits compared by value
// so that "Notes 2" comes before "Notes 10". Pure; any thread.

#include <string_view>

namespace qor {

// Negative when a sorts before b, zero when they are equivalent, positive otherwise. Both texts
// are case folded and canonically composed (malformed UTF-8 counts as U+FFFD); runs of ASCII
// digits compare by numeric value of any length (leading zeros ignored), everything else by code
// point of the folded text. Names differing only in case or in leading zeros are equivalent.
int localizedStandardCompare(std::string_view a, std::string_view b);

}  // namespace qor
