#include "mcp/schema_check.h"

#include <cmath>
#include <string_view>
#include <vector>

namespace qor::mcp {
namespace {

using Problem = std::optional<std::string>;

Problem at(const std::string& path, const std::string& what) {
  return (path.empty() ? std::string("arguments") : path) + ": " + what;
}

bool isIntegral(const Json& value) {
  if (value.is_number_integer()) {
    return true;
  }
  if (!value.is_number_float()) {
    return false;
  }
  const double number = value.get<double>();
  return std::isfinite(number) && std::floor(number) == number;
}

bool hasType(const Json& value, std::string_view type) {
  if (type == "object")
    return value.is_object();
  if (type == "array")
    return value.is_array();
  if (type == "string")
    return value.is_string();
  if (type == "boolean")
    return value.is_boolean();
  if (type == "null")
    return value.is_null();
  if (type == "integer")
    return isIntegral(value);
  if (type == "number")
    return value.is_number();
  return false;
}

Problem checkType(const Json& value, const Json& type, const std::string& path) {
  if (type.is_string()) {
    return hasType(value, type.get<std::string>()) ? Problem{}
                                                   : at(path, "must be " + type.get<std::string>());
  }
  for (const Json& each : type) {
    if (hasType(value, each.get<std::string>())) {
      return std::nullopt;
    }
  }
  return at(path, "must be one of the types " + type.dump());
}

Problem check(const Json& value, const Json& schema, const std::string& path);

Problem checkObject(const Json& value, const Json& schema, const std::string& path) {
  const std::string prefix = path.empty() ? "" : path + ".";
  if (const auto required = schema.find("required"); required != schema.end()) {
    for (const Json& key : *required) {
      if (!value.contains(key.get<std::string>())) {
        return at(path, "missing \"" + key.get<std::string>() + "\"");
      }
    }
  }
  const auto properties = schema.find("properties");
  const auto additional = schema.find("additionalProperties");
  for (const auto& [key, member] : value.items()) {
    if (properties != schema.end() && properties->contains(key)) {
      if (Problem problem = check(member, (*properties)[key], prefix + key)) {
        return problem;
      }
    } else if (additional != schema.end() && *additional == false) {
      return at(path, "unexpected \"" + key + "\"");
    }
  }
  return std::nullopt;
}

Problem checkArray(const Json& value, const Json& schema, const std::string& path) {
  if (schema.contains("minItems") && value.size() < schema["minItems"].get<std::size_t>()) {
    return at(path, "needs at least " + schema["minItems"].dump() + " entries");
  }
  if (schema.contains("maxItems") && value.size() > schema["maxItems"].get<std::size_t>()) {
    return at(path, "takes at most " + schema["maxItems"].dump() + " entries");
  }
  if (const auto items = schema.find("items"); items != schema.end()) {
    for (std::size_t index = 0; index < value.size(); ++index) {
      if (Problem problem = check(value[index], *items, path + "[" + std::to_string(index) + "]")) {
        return problem;
      }
    }
  }
  return std::nullopt;
}

Problem checkBounds(const Json& value, const Json& schema, const std::string& path) {
  if (value.is_number()) {
    const double number = value.get<double>();
    if (schema.contains("minimum") && number < schema["minimum"].get<double>()) {
      return at(path, "must be at least " + schema["minimum"].dump());
    }
    if (schema.contains("maximum") && number > schema["maximum"].get<double>()) {
      return at(path, "must be at most " + schema["maximum"].dump());
    }
  }
  if (value.is_string() && schema.contains("minLength") &&
      value.get_ref<const std::string&>().empty() && schema["minLength"].get<int>() > 0) {
    return at(path, "must not be empty");
  }
  return std::nullopt;
}

// Exactly one alternative must match. When none does, the alternative that got furthest (its
// problem lies deepest, not at a distinguishing constant) says what is wrong.
Problem checkOneOf(const Json& value, const Json& alternatives, const std::string& path) {
  std::vector<std::string> problems;
  for (const Json& alternative : alternatives) {
    if (Problem problem = check(value, alternative, path)) {
      problems.push_back(*problem);
    }
  }
  const std::size_t matches = alternatives.size() - problems.size();
  if (matches == 1) {
    return std::nullopt;
  }
  if (matches > 1) {
    return at(path, "matches more than one form");
  }
  for (const std::string& problem : problems) {
    if (problem.find("must equal") == std::string::npos) {
      return problem;
    }
  }
  return problems.empty() ? at(path, "matches no form") : problems.front();
}

Problem check(const Json& value, const Json& schema, const std::string& path) {
  if (const auto type = schema.find("type"); type != schema.end()) {
    if (Problem problem = checkType(value, *type, path)) {
      return problem;
    }
  }
  if (const auto constant = schema.find("const"); constant != schema.end() && value != *constant) {
    return at(path, "must equal " + constant->dump());
  }
  if (const auto choices = schema.find("enum"); choices != schema.end()) {
    bool listed = false;
    for (const Json& choice : *choices) {
      listed = listed || value == choice;
    }
    if (!listed) {
      return at(path, "must be one of " + choices->dump());
    }
  }
  Problem problem = checkBounds(value, schema, path);
  if (!problem && value.is_object()) {
    problem = checkObject(value, schema, path);
  }
  if (!problem && value.is_array()) {
    problem = checkArray(value, schema, path);
  }
  if (!problem && schema.contains("oneOf")) {
    problem = checkOneOf(value, schema["oneOf"], path);
  }
  return problem;
}

}  // namespace

std::optional<std::string> schemaMismatch(const Json& value, const Json& schema) {
  return check(value, schema, "");
}

}  // namespace qor::mcp
