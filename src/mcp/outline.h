#pragma once
// An observation as a model reads it best: a heading, then one line per element, indented by
// depth, with the element's reference, role, title or value, frame and actions.

#include <string>

#include "core/json.h"

namespace qor::mcp {

// `observation` is an "app.observe" result. Texts longer than a line allows are shortened (the
// structured result keeps them whole); a secure field shows no value.
std::string outline(const Json& observation);

}  // namespace qor::mcp
