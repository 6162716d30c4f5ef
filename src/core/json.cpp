#include "core/json.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/text.h"

namespace qor::wire {

namespace {

// Eight bytes at a time: whether any byte of a word is below n (n <= 128) or equal to c. Used to
// skip long runs of ordinary string bytes quickly in both directions.
constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;
constexpr std::uint64_t anyByteBelow(std::uint64_t word, unsigned char n) {
  return (word - kOnes * n) & ~word & kHighBits;
}
constexpr std::uint64_t anyByteEqual(std::uint64_t word, unsigned char c) {
  return anyByteBelow(word ^ (kOnes * c), 1);
}
std::uint64_t loadWord(const char* bytes) {
  std::uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

// Appends a code point as UTF-8.
void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// A strict JSON reader (the grammar of RFC 8259, nothing more) that builds the value in place.
// Open arrays and objects live on an explicit stack, so nesting depth costs heap, not call depth.
// The input must already be well-formed UTF-8.
class Reader {
 public:
  explicit Reader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  std::optional<Json> read() {
    skipWhitespace();
    if (p_ == end_ || (*p_ != '{' && *p_ != '[')) {
      return std::nullopt;  // the top level is an object or an array
    }
    Json root;
    if (!readDocument(root)) {
      return std::nullopt;
    }
    return root;
  }

 private:
  enum class Step { failed, scalar, opened };

  bool readDocument(Json& root) {
    Step step = beginValue(root);
    while (!stack_.empty()) {
      Json& container = *stack_.back();
      skipWhitespace();
      if (p_ == end_) {
        return false;
      }
      if (*p_ == (container.is_object() ? '}' : ']')) {
        ++p_;
        stack_.pop_back();
        step = Step::scalar;  // the closed container is a finished member of its parent
        continue;
      }
      if (step != Step::opened && !consume(',')) {
        return false;
      }
      Json* slot = memberSlot(container);
      if (slot == nullptr) {
        return false;
      }
      step = beginValue(*slot);  // may push; container is not used after this
      if (step == Step::failed) {
        return false;
      }
    }
    skipWhitespace();
    return step != Step::failed && p_ == end_;
  }

  // The place for the next member: a new array element, or the object's entry for the key read
  // here (a repeated key keeps the last value).
  Json* memberSlot(Json& container) {
    skipWhitespace();
    if (container.is_array()) {
      auto& elements = container.get_ref<Json::array_t&>();
      elements.emplace_back();
      return &elements.back();
    }
    std::string key;
    if (!readString(key)) {
      return nullptr;
    }
    skipWhitespace();
    if (!consume(':')) {
      return nullptr;
    }
    return &container.get_ref<Json::object_t&>()[std::move(key)];
  }

  // Reads a scalar into slot, or opens a container there and pushes it.
  Step beginValue(Json& slot) {
    skipWhitespace();
    if (p_ == end_) {
      return Step::failed;
    }
    switch (*p_) {
      case '{':
        ++p_;
        slot = Json::object();
        stack_.push_back(&slot);
        return Step::opened;
      case '[':
        ++p_;
        slot = Json::array();
        stack_.push_back(&slot);
        return Step::opened;
      case '"': {
        std::string text;
        if (!readString(text)) {
          return Step::failed;
        }
        slot = std::move(text);
        return Step::scalar;
      }
      case 't':
        slot = true;
        return literal("true") ? Step::scalar : Step::failed;
      case 'f':
        slot = false;
        return literal("false") ? Step::scalar : Step::failed;
      case 'n':
        slot = nullptr;
        return literal("null") ? Step::scalar : Step::failed;
      default:
        return readNumber(slot) ? Step::scalar : Step::failed;
    }
  }

  bool readString(std::string& out) {
    if (!consume('"')) {
      return false;
    }
    while (true) {
      const char* run = p_;
      while (end_ - p_ >= 8) {
        const std::uint64_t word = loadWord(p_);
        if (anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\')) {
          break;
        }
        p_ += 8;
      }
      while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) {
        ++p_;
      }
      out.append(run, p_);
      if (p_ == end_ || static_cast<unsigned char>(*p_) < 0x20) {
        return false;  // unterminated, or a raw control character
      }
      if (*p_++ == '"') {
        return true;
      }
      if (!readEscape(out)) {
        return false;
      }
    }
  }

  // After a backslash. A \u escape of a lone surrogate half becomes U+FFFD.
  bool readEscape(std::string& out) {
    if (p_ == end_) {
      return false;
    }
    switch (*p_++) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return false;
    }
    char32_t unit = 0;
    if (!readHex4(unit)) {
      return false;
    }
    if (unit >= 0xD800 && unit <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
      const char* afterHigh = p_;
      p_ += 2;
      char32_t low = 0;
      if (!readHex4(low)) {
        return false;
      }
      if (low >= 0xDC00 && low <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        return true;
      }
      p_ = afterHigh;  // not a pair: the next escape stands on its own
    }
    appendUtf8(out, unit >= 0xD800 && unit <= 0xDFFF ? char32_t{0xFFFD} : unit);
    return true;
  }

  bool readHex4(char32_t& unit) {
    if (end_ - p_ < 4) {
      return false;
    }
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      unsigned digit = 0;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      unit = (unit << 4) | digit;
    }
    return true;
  }

  // -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)? . Integers stay integers while they fit in 64
  // bits (non-negative ones unsigned); others become doubles. A double that overflows fails.
  bool readNumber(Json& slot) {
    const char* start = p_;
    const bool negative = consume('-');
    if (consume('0')) {
      // a leading zero stands alone
    } else if (!skipDigits()) {
      return false;
    }
    bool integral = true;
    if (consume('.')) {
      integral = false;
      if (!skipDigits()) {
        return false;
      }
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      integral = false;
      if (!consume('+')) {
        consume('-');
      }
      if (!skipDigits()) {
        return false;
      }
    }
    if (integral && readInteger(start, negative, slot)) {
      return true;
    }
    return readDouble(start, slot);
  }

  bool readInteger(const char* start, bool negative, Json& slot) {
    if (negative) {
      std::int64_t value = 0;
      if (std::from_chars(start, p_, value).ec != std::errc()) {
        return false;
      }
      slot = value;
    } else {
      std::uint64_t value = 0;
      if (std::from_chars(start, p_, value).ec != std::errc()) {
        return false;
      }
      slot = value;
    }
    return true;
  }

  bool readDouble(const char* start, Json& slot) {
    double value = 0;
    const auto result = std::from_chars(start, p_, value);
    if (result.ec == std::errc::result_out_of_range) {
      // Out of range is either underflow, which is an ordinary (signed) zero, or overflow,
      // which no double holds.
      const std::string token(start, p_);
      value = std::strtod(token.c_str(), nullptr);
      if (!std::isfinite(value)) {
        return false;
      }
    } else if (result.ec != std::errc()) {
      return false;
    }
    slot = value;
    return true;
  }

  bool skipDigits() {
    const char* start = p_;
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      ++p_;
    }
    return p_ != start;
  }

  bool literal(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  bool consume(char c) {
    if (p_ != end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }

  void skipWhitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }

  const char* p_;
  const char* end_;
  std::vector<Json*> stack_;  // open containers, innermost last
};

}  // namespace

std::optional<Json> parse(std::string_view line) {
  if (text::isValidUtf8(line)) {
    return Reader(line).read();
  }
  const std::string repaired = text::repairUtf8(line);
  return Reader(repaired).read();
}

namespace {

// How each byte is written inside a string: as is, escaped, or (non-ASCII) after checking that
// it starts a well-formed UTF-8 sequence.
enum class ByteClass : unsigned char { plain, escape, multibyte };

constexpr std::array<ByteClass, 256> makeByteClasses() {
  std::array<ByteClass, 256> classes{};
  for (std::size_t b = 0; b < 256; ++b) {
    if (b < 0x20 || b == '"' || b == '\\' || b == '/') {
      classes[b] = ByteClass::escape;
    } else if (b >= 0x80) {
      classes[b] = ByteClass::multibyte;
    } else {
      classes[b] = ByteClass::plain;
    }
  }
  return classes;
}
constexpr std::array<ByteClass, 256> kByteClasses = makeByteClasses();

// The letter after the backslash for characters with a two-character escape, else 0.
constexpr std::array<char, 256> makeShortEscapes() {
  std::array<char, 256> letters{};
  letters['"'] = '"';
  letters['\\'] = '\\';
  letters['/'] = '/';
  letters['\b'] = 'b';
  letters['\f'] = 'f';
  letters['\n'] = 'n';
  letters['\r'] = 'r';
  letters['\t'] = 't';
  return letters;
}
constexpr std::array<char, 256> kShortEscapes = makeShortEscapes();

void appendEscape(std::string& out, unsigned char byte) {
  if (const char letter = kShortEscapes[byte]; letter != 0) {
    const char escaped[] = {'\\', letter};
    out.append(escaped, sizeof escaped);
    return;
  }
  constexpr char kHex[] = "0123456789abcdef";
  const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
  out.append(escaped, sizeof escaped);
}

// Copies runs of bytes that need no attention in one append. Ill-formed UTF-8 (which only a
// handler can introduce, since parsed input is repaired) goes out as U+FFFD so that every line
// stays valid UTF-8.
void appendString(std::string& out, std::string_view s) {
  out.push_back('"');
  const std::size_t size = s.size();
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (true) {
    while (size - i >= 8) {
      const std::uint64_t word = loadWord(s.data() + i);
      if (anyByteBelow(word, 0x20) | anyByteEqual(word, '"') | anyByteEqual(word, '\\') |
          anyByteEqual(word, '/') | (word & kHighBits)) {
        break;
      }
      i += 8;
    }
    while (i < size && kByteClasses[static_cast<unsigned char>(s[i])] == ByteClass::plain) {
      ++i;
    }
    if (i == size) {
      break;
    }
    const auto byte = static_cast<unsigned char>(s[i]);
    if (kByteClasses[byte] == ByteClass::escape) {
      out.append(s.data() + runStart, i - runStart);
      appendEscape(out, byte);
      runStart = ++i;
      continue;
    }
    const text::Scalar scalar = text::decodeUtf8(s, i);
    if (!scalar.valid) {
      out.append(s.data() + runStart, i - runStart);
      out.append("\xEF\xBF\xBD", 3);
      runStart = i + scalar.length;
    }
    i += scalar.length;
  }
  out.append(s.data() + runStart, size - runStart);
  out.push_back('"');
}

template <typename Number>
void appendNumber(std::string& out, Number number) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, result.ptr);
}

void appendDouble(std::string& out, double number) {
  if (!std::isfinite(number)) {
    out.append("null");
    return;
  }
  appendNumber(out, number);  // shortest form that reads back to the same double
}

// Writes without recursion: every open array or object is a frame on an explicit stack.
class Writer {
 public:
  std::string write(const Json& root) {
    out_.reserve(256);
    stack_.reserve(16);
    open(root);
    while (!stack_.empty()) {
      const Json* child = advance(stack_.back());
      if (child != nullptr) {
        open(*child);  // may push a frame; nothing below touches the old top
      }
    }
    return std::move(out_);
  }

 private:
  struct Frame {
    bool isObject = false;
    bool first = true;
    Json::array_t::const_iterator arrayNext{};
    Json::array_t::const_iterator arrayEnd{};
    Json::object_t::const_iterator objectNext{};
    Json::object_t::const_iterator objectEnd{};
  };

  // Writes the separator (and key) before the frame's next member and returns that member, or
  // closes the frame and returns nullptr when it is done.
  const Json* advance(Frame& frame) {
    if (frame.isObject ? frame.objectNext == frame.objectEnd : frame.arrayNext == frame.arrayEnd) {
      out_.push_back(frame.isObject ? '}' : ']');
      stack_.pop_back();
      return nullptr;
    }
    if (!frame.first) {
      out_.push_back(',');
    }
    frame.first = false;
    if (!frame.isObject) {
      return &*frame.arrayNext++;
    }
    appendString(out_, frame.objectNext->first);
    out_.push_back(':');
    return &(frame.objectNext++)->second;
  }

  // Writes a scalar whole, or the opening of a container and pushes its frame.
  void open(const Json& value) {
    switch (value.type()) {
      case Json::value_t::object: {
        const auto& members = value.get_ref<const Json::object_t&>();
        if (members.empty()) {
          out_.append("{}");
          return;
        }
        out_.push_back('{');
        Frame frame;
        frame.isObject = true;
        frame.objectNext = members.begin();
        frame.objectEnd = members.end();
        stack_.push_back(frame);
        return;
      }
      case Json::value_t::array: {
        const auto& elements = value.get_ref<const Json::array_t&>();
        if (elements.empty()) {
          out_.append("[]");
          return;
        }
        out_.push_back('[');
        Frame frame;
        frame.arrayNext = elements.begin();
        frame.arrayEnd = elements.end();
        stack_.push_back(frame);
        return;
      }
      case Json::value_t::string:
        appendString(out_, value.get_ref<const Json::string_t&>());
        return;
      case Json::value_t::boolean:
        out_.append(value.get<bool>() ? "true" : "false");
        return;
      case Json::value_t::number_integer:
        appendNumber(out_, value.get<std::int64_t>());
        return;
      case Json::value_t::number_unsigned:
        appendNumber(out_, value.get<std::uint64_t>());
        return;
      case Json::value_t::number_float:
        appendDouble(out_, value.get<double>());
        return;
      case Json::value_t::null:
      case Json::value_t::binary:     // never built by handlers; JSON cannot carry it
      case Json::value_t::discarded:  // only a failed parse produces it
        out_.append("null");
        return;
    }
  }

  std::string out_;
  std::vector<Frame> stack_;
};

}  // namespace

std::string serialize(const Json& value) {
  return Writer().write(value);
}

}  // namespace qor::wire
