#include "core/collation.h"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace qor {

namespace {

constexpr utf8proc_int32_t kReplacementCharacter = 0xFFFD;

// Replaces every malformed sequence with U+FFFD, as utf8proc refuses malformed input outright.
std::string repaired(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  auto* cursor = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t remaining = static_cast<utf8proc_ssize_t>(text.size());
  while (remaining > 0) {
    utf8proc_int32_t codePoint = 0;
    utf8proc_ssize_t length = utf8proc_iterate(cursor, remaining, &codePoint);
    if (length <= 0) {
      codePoint = kReplacementCharacter;
      length = 1;
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t written = utf8proc_encode_char(codePoint, encoded);
    result.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(written));
    cursor += length;
    remaining -= length;
  }
  return result;
}

// Case folded, canonically composed UTF-8. Since UTF-8 keeps code-point order under byte
// comparison, the folded texts can then be compared byte by byte outside digit runs.
std::string folded(std::string_view text) {
  const std::string valid = repaired(text);
  utf8proc_uint8_t* output = nullptr;
  const utf8proc_ssize_t length = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
      static_cast<utf8proc_ssize_t>(valid.size()), &output,
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD));
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(output, &std::free);
  if (length < 0) {
    return valid;  // only on allocation failure; the unfolded text still orders sensibly
  }
  return std::string(reinterpret_cast<const char*>(output), static_cast<std::size_t>(length));
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

int sign(int value) {
  return (value > 0) - (value < 0);
}

// Compares the digit runs starting at a[i] and b[j] by value and moves both indices past them.
// Works on the digit text itself, so runs of any length compare without overflow.
int compareDigitRuns(const std::string& a, std::size_t& i, const std::string& b, std::size_t& j) {
  auto significant = [](const std::string& text, std::size_t& index) {
    while (index < text.size() && text[index] == '0') {
      ++index;
    }
    const std::size_t start = index;
    while (index < text.size() && isDigit(text[index])) {
      ++index;
    }
    return std::string_view(text).substr(start, index - start);
  };
  const std::string_view left = significant(a, i);
  const std::string_view right = significant(b, j);
  if (left.size() != right.size()) {
    return left.size() < right.size() ? -1 : 1;
  }
  return sign(left.compare(right));
}

}  // namespace

int localizedStandardCompare(std::string_view a, std::string_view b) {
  const std::string left = folded(a);
  const std::string right = folded(b);
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < left.size() && j < right.size()) {
    if (isDigit(left[i]) && isDigit(right[j])) {
      const int order = compareDigitRuns(left, i, right, j);
      if (order != 0) {
        return order;
      }
      continue;
    }
    const auto l = static_cast<unsigned char>(left[i]);
    const auto r = static_cast<unsigned char>(right[j]);
    if (l != r) {
      return l < r ? -1 : 1;
    }
    ++i;
    ++j;
  }
  const bool leftDone = i >= left.size();
  const bool rightDone = j >= right.size();
  return static_cast<int>(rightDone) - static_cast<int>(leftDone);
}

}  // namespace qor
