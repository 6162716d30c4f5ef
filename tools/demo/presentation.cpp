#include "presentation.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>

namespace qor::demo {
namespace {

// Colours only when a person watches; a log file gets plain text.
struct Palette {
  const char* heading;
  const char* request;
  const char* response;
  const char* success;
  const char* problem;
  const char* reset;
};

const Palette& palette() {
  static const Palette colours{"\033[1;36m", "\033[32m",   "\033[33m",
                               "\033[1;32m", "\033[1;31m", "\033[0m"};
  static const Palette plain{"", "", "", "", "", ""};
  static const bool terminal = isatty(STDOUT_FILENO) != 0;
  return terminal ? colours : plain;
}

// JSON on one line, with a space after each comma and colon so that it reads like prose.
std::string inline_(const Json& value) {
  std::string text;
  if (value.is_object()) {
    for (const auto& [key, member] : value.items()) {
      text += (text.empty() ? "{" : ", ") + Json(key).dump() + ": " + inline_(member);
    }
    return text.empty() ? "{}" : text + "}";
  }
  if (value.is_array()) {
    for (const Json& element : value) {
      text += (text.empty() ? "[" : ", ") + inline_(element);
    }
    return text.empty() ? "[]" : text + "]";
  }
  return value.dump();
}

constexpr std::size_t kLineWidth = 100;

// Pretty JSON in which every object or array that fits on the rest of its line stays on it.
// `indent` is where the current line's text starts, `column` where `value` starts on it.
void layout(const Json& value, std::size_t indent, std::size_t column, std::string& out) {
  std::string flat = inline_(value);
  if (column + flat.size() <= kLineWidth || !value.is_structured() || value.empty()) {
    out += flat;
    return;
  }
  std::string inner(indent + 2, ' ');
  bool first = true;
  out += value.is_object() ? "{\n" : "[\n";
  for (const auto& [key, member] : value.items()) {
    out += (first ? "" : ",\n") + inner;
    first = false;
    std::string label = value.is_object() ? Json(key).dump() + ": " : "";
    out += label;
    layout(member, inner.size(), inner.size() + label.size(), out);
  }
  out += "\n" + std::string(indent, ' ') + (value.is_object() ? "}" : "]");
}

// Prints `value` after a marker of `markerWidth` columns (the layout indents the lines below it
// accordingly), each line in `colour`.
void printJson(std::string_view marker, std::size_t markerWidth, const Json& value,
               const char* colour) {
  std::string text;
  layout(value, markerWidth, markerWidth, text);
  std::istringstream lines(text);
  std::string line;
  bool first = true;
  while (std::getline(lines, line)) {
    std::cout << colour << (first ? marker : "") << line << palette().reset << "\n";
    first = false;
  }
}

std::string number(const Json& value) {
  double real = value.is_number() ? value.get<double>() : 0.0;
  std::ostringstream out;
  out << std::round(real);
  return out.str();
}

}  // namespace

void showTitle(std::string_view text) {
  std::cout << palette().heading << text << palette().reset << "\n" << std::flush;
}

void showStep(int number, std::string_view name, std::string_view explanation) {
  std::cout << "\n"
            << palette().heading << "── " << number << ". " << name << palette().reset << "\n"
            << "   " << explanation << "\n";
}

void showRequest(const Json& request) {
  printJson("   → ", 5, request, palette().request);
  std::cout << std::flush;
}

void showResponse(const Json& shown, const std::vector<std::string>& notes) {
  printJson("   ← ", 5, shown, palette().response);
  for (const std::string& note : notes) {
    std::cout << "       " << note << "\n";
  }
  std::cout << std::flush;
}

void showNote(std::string_view text) {
  std::cout << "   " << text << "\n" << std::flush;
}

void showSuccess(std::string_view text) {
  std::cout << "\n" << palette().success << text << palette().reset << "\n" << std::flush;
}

void showProblem(std::string_view text) {
  std::cout << palette().problem << "   " << text << palette().reset << "\n" << std::flush;
}

std::string describeNode(const Json& node) {
  char head[64];
  std::snprintf(head, sizeof head, "%-5s %-15s", node.value("ref", "").c_str(),
                node.value("role", "").c_str());
  std::string line = head;
  if (node.contains("title")) {
    line += " " + Json(node["title"]).dump();
  }
  if (node.value("secure", false)) {
    line += " (secure: value never read)";
  } else if (node.contains("value") && node.value("value", Json()) != node.value("title", Json())) {
    line += " value " + node["value"].dump();
  }
  if (node.contains("frame")) {
    const Json& frame = node["frame"];
    line += "  at " + number(frame["x"]) + "," + number(frame["y"]) + " size " +
            number(frame["width"]) + "x" + number(frame["height"]);
  }
  if (!node.value("actions", Json::array()).empty()) {
    line += "  actions " + node["actions"].dump();
  }
  return line;
}

}  // namespace qor::demo
