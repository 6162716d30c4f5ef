#pragma once
// Identifiers and times as they appear on the wire.

#include <cstdint>
#include <string>

namespace qor::ids {

// A random version-4 UUID in canonical form, upper-case: "1B4E28BA-2FA1-4D2E-883F-0016D3CCA427".
// Draws from the kernel's random source; throws std::system_error if it is unavailable.
std::string newUUID();

// An internet date-time in UTC with whole seconds and a "Z" suffix: "2027-01-15T08:00:00Z".
// The caller reads the clock, so the core stays free of one.
std::string iso8601UTC(std::int64_t unixSeconds);

}  // namespace qor::ids
