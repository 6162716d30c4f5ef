#pragma once
// Checks tool arguments against the JSON Schemas the tools publish. It knows the keywords those
// schemas use (type, properties, required, items, enum, const, oneOf, minimum, maximum,
// minLength, minItems, maxItems, additionalProperties), so a schema and its check never disagree.

#include <optional>
#include <string>

#include "core/json.h"

namespace qor::mcp {

// Nothing when `value` matches `schema`; else where and how it does not ("actions[0].x: must be
// a number").
std::optional<std::string> schemaMismatch(const Json& value, const Json& schema);

}  // namespace qor::mcp
