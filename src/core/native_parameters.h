#pragma once
// The shared readers of request parameters; the same bad value always gives the same failure.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"

namespace qor::NativeParameters {

// A present, non-empty JSON string, returned unchanged; else "Missing string: " + key.
std::string string(const Json& params, std::string_view key);

// A present, finite JSON number that is not a boolean; else "Expected finite number: " + key.
double number(const Json& params, std::string_view key);

// Absent (nullptr) gives the default unchecked; otherwise an integral, finite, non-boolean number
// inside [lower, upper]; else "Integer outside " + lower + "..." + upper.
std::int64_t boundedInt(const Json* value, std::int64_t fallback, std::int64_t lower,
                        std::int64_t upper);

// "windowId": absent or null gives none; else boundedInt in 1...4294967295.
std::optional<std::uint32_t> windowID(const Json& params);

// The value under key, or nullptr when params is not an object or lacks the key.
const Json* find(const Json& params, std::string_view key);

// Booleans as parameters accept true/false and the numbers 1 and 0; anything else is absent.
std::optional<bool> boolean(const Json& params, std::string_view key);

}  // namespace qor::NativeParameters
