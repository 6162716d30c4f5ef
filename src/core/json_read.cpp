// Reading request lines: RapidJSON's strict, iterative reader builds the value. The sanitizer
// exemption in the top CMakeLists.txt follows this file, the only one that uses RapidJSON.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/text.h"

// The reader's SSE2 scans stay off: in RapidJSON 1.1 the in-place string scan lets a control
// character through after the first 16 bytes of a string, which strict JSON refuses.
#include <rapidjson/reader.h>

namespace qor::wire {

namespace {

// Builds the value from the reader's events. Open arrays and objects live on an explicit stack,
// so nesting depth costs heap, not call depth. Any event not handled below refuses the line.
class ValueBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, ValueBuilder> {
 public:
  bool Default() { return false; }
  bool Null() { return add(Json(nullptr)) != nullptr; }
  bool Bool(bool value) { return add(Json(value)) != nullptr; }
  bool RawNumber(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    std::optional<Json> number = readNumber(std::string_view(text, length));
    return number && add(std::move(*number)) != nullptr;
  }
  bool String(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    const std::string_view value(text, length);
    return !hasEscapedSurrogate(value) && add(Json(value)) != nullptr;
  }
  bool Key(const char* text, rapidjson::SizeType length, bool /*copy*/) {
    key_.assign(text, length);
    return !hasEscapedSurrogate(key_);
  }
  bool StartObject() { return open(Json::object()); }
  bool StartArray() { return open(Json::array()); }
  bool EndObject(rapidjson::SizeType /*members*/) { return close(); }
  bool EndArray(rapidjson::SizeType /*elements*/) { return close(); }

  Json take() { return std::move(root_); }

 private:
  // Places a value as the next member of the innermost open container and returns where it
  // went. At the top level only an object or an array is taken.
  Json* add(Json value) {
    if (open_.empty()) {
      if (!value.is_structured()) {
        return nullptr;
      }
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *open_.back();
    if (parent.is_array()) {
      auto& elements = parent.get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    // A repeated key keeps the last value.
    auto& members = parent.get_ref<Json::object_t&>();
    return &members.insert_or_assign(std::move(key_), std::move(value)).first->second;
  }

  // The pointer stays valid while the container is open: its parent gains no members until then.
  bool open(Json container) {
    Json* slot = add(std::move(container));
    if (slot == nullptr) {
      return false;
    }
    open_.push_back(slot);
    return true;
  }

  bool close() {
    open_.pop_back();
    return true;
  }

  // Integers stay integers while they fit in 64 bits (non-negative ones unsigned); others become
  // doubles, correctly rounded. The reader has checked the grammar. Underflow reads as a (signed)
  // zero; a magnitude that no double holds refuses the line.
  static std::optional<Json> readNumber(std::string_view text) {
    const char* first = text.data();
    const char* last = first + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
      if (text.front() == '-') {
        std::int64_t value = 0;
        if (std::from_chars(first, last, value).ec == std::errc()) {
          // No integer holds -0; as a double it keeps its sign and is written back as "-0".
          return value == 0 ? Json(-0.0) : Json(value);
        }
      } else {
        std::uint64_t value = 0;
        if (std::from_chars(first, last, value).ec == std::errc()) {
          return Json(value);
        }
      }
    }
    double value = 0;
    const std::errc error = std::from_chars(first, last, value).ec;
    if (error == std::errc::result_out_of_range) {
      value = std::strtod(std::string(text).c_str(), nullptr);  // tells underflow from overflow
      if (!std::isfinite(value)) {
        return std::nullopt;
      }
    } else if (error != std::errc()) {
      return std::nullopt;
    }
    return Json(value);
  }

  // The input is well-formed UTF-8 by now, so an encoded surrogate half (ED A0..BF) can only come
  // from a "\u" escape without its partner. The reader refuses a lone high half itself but lets a
  // lone low half through; both are refused.
  static bool hasEscapedSurrogate(std::string_view text) {
    for (std::size_t at = text.find('\xED'); at != std::string_view::npos;
         at = text.find('\xED', at + 1)) {
      if (at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0xA0) {
        return true;
      }
    }
    return false;
  }

  Json root_;
  std::vector<Json*> open_;  // innermost last
  std::string key_;          // of the member whose value comes next
};

// The reader works in place on a copy that ends in a NUL byte.
constexpr std::size_t kPadding = 1;

std::string readableCopy(std::string_view line) {
  std::string copy;
  if (text::isValidUtf8(line)) {
    copy.reserve(line.size() + kPadding);
    copy.append(line);
  } else {
    copy = text::repairUtf8(line);
  }
  copy.append(kPadding, '\0');
  return copy;
}

// Strict RFC 8259 (no comments, NaN, trailing commas or stopping after the first value), and
// iterative, so it never recurses on nesting. Numbers arrive as text for readNumber: the reader's
// own full-precision conversion reads out of bounds on some tiny numbers
// (0.4231774611633847681228396437e-343) and its fast one is not correctly rounded.
constexpr unsigned kReadFlags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag |
                                rapidjson::kParseNumbersAsStringsFlag;

// The reader keeps string lengths and digit counts in 32-bit integers.
constexpr std::size_t kLongestLine = std::numeric_limits<std::int32_t>::max() / 2;

// One attempt on a readable copy, which the reader consumes in place.
std::optional<Json> readInPlace(std::string text, rapidjson::ParseErrorCode& error) {
  const std::size_t length = text.size() - kPadding;
  rapidjson::InsituStringStream stream(text.data());
  ValueBuilder builder;
  rapidjson::CrtAllocator allocator;  // malloc and free; saves the reader allocating its own
  rapidjson::Reader reader(&allocator);
  error = reader.Parse<kReadFlags>(stream, builder).Code();
  // The reader takes a NUL byte for the end of its input: one after a complete value stops it
  // short of the real end.
  if (error != rapidjson::kParseErrorNone || stream.Tell() != length) {
    return std::nullopt;
  }
  return builder.take();
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The reader refuses a positive exponent beyond the double range even when every digit before it
// is zero, though 0e400 is an ordinary zero. Outside strings, such exponents become zeros of the
// same length, which keeps the grammar and the value. Only lines that failed that way pay for it.
void zeroTheExponentsOfZeros(std::string& text) {
  bool inString = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (inString) {
      at += c == '\\' ? 1 : 0;
      inString = c != '"';
      continue;
    }
    if (c == '"') {
      inString = true;
      continue;
    }
    if (c != '-' && !isDigit(c)) {
      continue;
    }
    std::size_t end = at + (c == '-' ? 1 : 0);
    bool zero = true;
    for (; end < text.size() && (isDigit(text[end]) || text[end] == '.'); ++end) {
      zero = zero && (text[end] == '0' || text[end] == '.');
    }
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
      ++end;
      end += end < text.size() && (text[end] == '+' || text[end] == '-') ? 1 : 0;
      for (; end < text.size() && isDigit(text[end]); ++end) {
        text[end] = zero ? '0' : text[end];
      }
    }
    at = end - 1;
  }
}

}  // namespace

std::optional<Json> parse(std::string_view line) {
  if (line.size() > kLongestLine) {
    return std::nullopt;
  }
  rapidjson::ParseErrorCode error = rapidjson::kParseErrorNone;
  std::optional<Json> value = readInPlace(readableCopy(line), error);
  if (error == rapidjson::kParseErrorNumberTooBig) {
    std::string text = readableCopy(line);
    zeroTheExponentsOfZeros(text);
    value = readInPlace(std::move(text), error);
  }
  return value;
}

}  // namespace qor::wire
