#include "core/key_file.h"

#include <algorithm>

namespace qor::key_file {
namespace {

constexpr std::string_view kBlank = " \t\r";

std::string_view trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlank);
  if (first == std::string_view::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlank);
  return text.substr(first, last - first + 1);
}

// The next line of `text` from `offset` on, without its line feed; advances `offset` past it.
std::string_view nextLine(std::string_view text, std::size_t& offset) {
  const std::size_t end = std::min(text.find('\n', offset), text.size());
  const std::string_view line = text.substr(offset, end - offset);
  offset = end + 1;
  return line;
}

char escaped(char letter) {
  switch (letter) {
    case 's':
      return ' ';
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case 'r':
      return '\r';
    case '\\':
      return '\\';
    default:
      return '\0';
  }
}

}  // namespace

Groups parse(std::string_view text) {
  Groups groups;
  Group* current = nullptr;
  for (std::size_t offset = 0; offset < text.size();) {
    const std::string_view line = trimmed(nextLine(text, offset));
    if (line.empty() || line.front() == '#') {
      continue;
    }
    if (line.front() == '[') {
      current =
          line.back() == ']' ? &groups[std::string(line.substr(1, line.size() - 2))] : nullptr;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) {
      continue;
    }
    const std::string_view key = trimmed(line.substr(0, equals));
    if (!key.empty()) {
      current->emplace(std::string(key), std::string(trimmed(line.substr(equals + 1))));
    }
  }
  return groups;
}

std::string unescapeValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char replacement =
        value[i] == '\\' && i + 1 < value.size() ? escaped(value[i + 1]) : '\0';
    if (replacement == '\0') {
      out.push_back(value[i]);
    } else {
      out.push_back(replacement);
      ++i;
    }
  }
  return out;
}

}  // namespace qor::key_file
