#pragma once
// JSON values as the bridge sees them, and the exact wire form of a line.

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// Objects keep their keys in a std::map, so iteration is already in ascending byte order,
// which is the order the wire needs. Booleans, integers and doubles stay distinct kinds.
using Json = nlohmann::json;

namespace wire {

// Parses one request line. Invalid UTF-8 is repaired to U+FFFD first. The top level must be
// an object or an array; anything else, trailing garbage, a raw NUL byte, an escaped lone
// surrogate half ("\ud800") or a number that no double can hold (1e400) is a parse error and
// gives nullopt. Never recurses on the input's nesting.
std::optional<Json> parse(std::string_view line);

// Writes a value the way every response goes out: compact, keys in ascending byte order at every
// depth, every "/" escaped as "\/", non-ASCII as raw UTF-8, integers as integers, doubles in the
// shortest decimal that reads back to the same double. Iterative, so nesting depth is bounded only
// by memory. Non-finite doubles (which handlers never produce) are written as null.
std::string serialize(const Json& value);

}  // namespace wire
}  // namespace qor
