#pragma once
// The tools qor-mcp offers: each one's name, the bridge method it calls, the description a model
// reads, and the JSON Schemas of its arguments and of its structured result.

#include <optional>
#include <string>
#include <vector>

#include "core/json.h"

namespace qor::mcp {

// How a successful bridge result is shown to the model.
enum class Presentation {
  json,     // the result as JSON text
  outline,  // an observation: one line per element
  image,    // a capture: the PNG itself
};

struct Tool {
  std::string name;
  std::string bridgeMethod;
  std::string description;
  Json inputSchema;
  std::optional<Json> outputSchema;
  Presentation presentation = Presentation::json;
  bool reportsProgress = false;  // long-running: a progress token gets notifications
};

const std::vector<Tool>& tools();
const Tool* findTool(std::string_view name);

// The "tools/list" entry of one tool; output schemas only where the revision has them.
Json toolListing(const Tool& tool, bool withOutputSchema);

}  // namespace qor::mcp
