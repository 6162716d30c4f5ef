#include "core/text.h"

#include <utf8proc.h>

#include <cstdint>
#include <cstring>

namespace qor::text {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Walks a string one extended grapheme cluster at a time. The break state of the segmentation
// rules (regional indicator pairs, emoji joiner sequences) runs across the whole string.
class ClusterCursor {
 public:
  explicit ClusterCursor(std::string_view utf8) : text_(utf8) {}

  bool atEnd() const { return start_ >= text_.size(); }

  // The next cluster. REQUIRES: !atEnd().
  std::string_view next() {
    Scalar previous = decodeUtf8(text_, start_);
    std::size_t end = start_ + previous.length;
    while (end < text_.size()) {
      const Scalar current = decodeUtf8(text_, end);
      if (utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous.codePoint),
                                           static_cast<utf8proc_int32_t>(current.codePoint),
                                           &state_)) {
        break;
      }
      end += current.length;
      previous = current;
    }
    const std::string_view cluster = text_.substr(start_, end - start_);
    start_ = end;
    return cluster;
  }

 private:
  std::string_view text_;
  std::size_t start_ = 0;
  utf8proc_int32_t state_ = 0;
};

}  // namespace

Scalar decodeUtf8(std::string_view utf8, std::size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data()) + offset;
  const std::size_t available = utf8.size() - offset;
  const unsigned char lead = bytes[0];
  if (lead < 0x80) {
    return {lead, 1, true};
  }

  // The lead byte fixes the length, the allowed range of the second byte (which excludes
  // overlong forms, surrogates and values above U+10FFFF) and the payload bits.
  std::size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  char32_t codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
    if (lead == 0xE0)
      secondLow = 0xA0;
    if (lead == 0xED)
      secondHigh = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
    if (lead == 0xF0)
      secondLow = 0x90;
    if (lead == 0xF4)
      secondHigh = 0x8F;
  } else {
    return {kReplacement, 1, false};
  }

  for (std::size_t i = 1; i < length; ++i) {
    if (i >= available) {
      return {kReplacement, i, false};
    }
    const unsigned char byte = bytes[i];
    const bool inRange = i == 1 ? (byte >= secondLow && byte <= secondHigh) : isContinuation(byte);
    if (!inRange) {
      return {kReplacement, i, false};
    }
    codePoint = (codePoint << 6) | (byte & 0x3Fu);
  }
  return {codePoint, length, true};
}

bool isValidUtf8(std::string_view utf8) {
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    // Requests are mostly ASCII: skip it eight bytes at a time.
    if (offset + 8 <= utf8.size()) {
      std::uint64_t word;
      std::memcpy(&word, utf8.data() + offset, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        offset += 8;
        continue;
      }
    }
    if (static_cast<unsigned char>(utf8[offset]) < 0x80) {
      ++offset;
      continue;
    }
    const Scalar scalar = decodeUtf8(utf8, offset);
    if (!scalar.valid) {
      return false;
    }
    offset += scalar.length;
  }
  return true;
}

std::string repairUtf8(std::string_view utf8) {
  std::string repaired;
  repaired.reserve(utf8.size() + 8);
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    const Scalar scalar = decodeUtf8(utf8, offset);
    if (scalar.valid) {
      repaired.append(utf8.substr(offset, scalar.length));
    } else {
      repaired.append(kReplacementUtf8);
    }
    offset += scalar.length;
  }
  return repaired;
}

std::string truncateGraphemes(std::string_view utf8, std::size_t maxClusters) {
  ClusterCursor cursor(utf8);
  std::size_t kept = 0;
  std::size_t keptBytes = 0;
  while (kept < maxClusters && !cursor.atEnd()) {
    keptBytes += cursor.next().size();
    ++kept;
  }
  return std::string(utf8.substr(0, keptBytes));
}

std::size_t graphemeCount(std::string_view utf8) {
  ClusterCursor cursor(utf8);
  std::size_t count = 0;
  while (!cursor.atEnd()) {
    cursor.next();
    ++count;
  }
  return count;
}

std::vector<std::string> graphemes(std::string_view utf8) {
  ClusterCursor cursor(utf8);
  std::vector<std::string> clusters;
  while (!cursor.atEnd()) {
    clusters.emplace_back(cursor.next());
  }
  return clusters;
}

std::size_t utf16Length(std::string_view utf8) {
  std::size_t units = 0;
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    const Scalar scalar = decodeUtf8(utf8, offset);
    units += scalar.codePoint >= 0x10000 ? 2 : 1;
    offset += scalar.length;
  }
  return units;
}

std::u16string toUtf16(std::string_view utf8) {
  std::u16string units;
  units.reserve(utf8.size());
  std::size_t offset = 0;
  while (offset < utf8.size()) {
    const Scalar scalar = decodeUtf8(utf8, offset);
    const char32_t c = scalar.codePoint;
    if (c >= 0x10000) {
      const char32_t v = c - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
    offset += scalar.length;
  }
  return units;
}

}  // namespace qor::text
