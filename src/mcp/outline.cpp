#include "mcp/outline.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

#include "core/text.h"

namespace qor::mcp {
namespace {

constexpr std::size_t kLongestText = 160;  // user-perceived characters per shown text

// Numbers as a person writes them: whole numbers without a fraction, else one decimal.
std::string number(const Json& value) {
  if (!value.is_number()) {
    return "?";
  }
  const double n = value.get<double>();
  char text[32];
  if (std::nearbyint(n) == n) {
    std::snprintf(text, sizeof text, "%.0f", n);
  } else {
    std::snprintf(text, sizeof text, "%.1f", n);
  }
  return text;
}

std::string frame(const Json& rect) {
  return "[" + number(rect.value("x", Json())) + "," + number(rect.value("y", Json())) + " " +
         number(rect.value("width", Json())) + "x" + number(rect.value("height", Json())) + "]";
}

// A text in double quotes, shortened, with line breaks and quotes escaped so it stays one line.
std::string quoted(const std::string& text) {
  std::string shortened = text::truncateGraphemes(text, kLongestText);
  std::string out = "\"";
  for (char c : shortened) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c;
    }
  }
  if (shortened.size() < text.size()) {
    out += "...";
  }
  return out + "\"";
}

std::string valueText(const Json& value) {
  return value.is_string() ? quoted(value.get<std::string>()) : value.dump();
}

// One element's line, without indentation.
std::string elementLine(const Json& node) {
  std::string line = node.value("ref", "?") + " " + node.value("role", "");
  const Json* name = nullptr;
  if (const auto title = node.find("title"); title != node.end() && title->is_string()) {
    name = &*title;
  } else if (const auto text = node.find("description"); text != node.end() && text->is_string()) {
    name = &*text;
  }
  if (name != nullptr) {
    line += " " + quoted(name->get<std::string>());
  }
  const auto value = node.find("value");
  if (node.value("secure", false)) {
    line += " (secure)";
  } else if (value != node.end() && (name == nullptr || *value != *name)) {  // a label says it once
    line += " = " + valueText(*value);
  }
  if (node.value("enabled", true) == false) {
    line += " (disabled)";
  }
  if (const auto rect = node.find("frame"); rect != node.end() && rect->is_object()) {
    line += " " + frame(*rect);
  }
  if (const auto actions = node.find("actions");
      actions != node.end() && actions->is_array() && !actions->empty()) {
    line += " actions:";
    for (const Json& action : *actions) {
      line += " " + (action.is_string() ? action.get<std::string>() : action.dump());
    }
  }
  return line;
}

std::string heading(const Json& observation) {
  std::string text = "observationId " + observation.value("observationId", "?") + " of " +
                     observation.value("bundleId", "?") + ", expires " +
                     observation.value("expiresAt", "?") + "; " +
                     number(observation.value("nodeCount", Json())) + " elements";
  if (observation.value("truncated", false)) {
    text += " (truncated: raise maxNodes or maxDepth, or pass windowId, to see more)";
  }
  const Json windowId = observation.value("windowId", Json());
  for (const Json& window : observation.value("windows", Json::array())) {
    const bool observed = !windowId.is_null() && window.value("windowId", Json()) == windowId;
    text += "\nwindow " + window.value("windowId", Json()).dump() + " " +
            quoted(window.value("title", "")) + " " + frame(window.value("frame", Json::object())) +
            (observed ? " (observed)" : "");
  }
  return text + "\n";
}

}  // namespace

std::string outline(const Json& observation) {
  std::string text = heading(observation);
  // Depth-first with an explicit stack: trees may be as deep as the walk allows.
  std::vector<std::pair<const Json*, std::size_t>> pending;
  static const Json kNoTree = Json::array();
  const auto tree = observation.find("tree");
  const Json& roots = tree != observation.end() && tree->is_array() ? *tree : kNoTree;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) {
    pending.emplace_back(&*root, 0);
  }
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    text.append(depth * 2, ' ');
    text += elementLine(*node);
    text += '\n';
    if (const auto children = node->find("children");
        children != node->end() && children->is_array()) {
      for (auto child = children->rbegin(); child != children->rend(); ++child) {
        pending.emplace_back(&*child, depth + 1);
      }
    }
  }
  return text;
}

}  // namespace qor::mcp
