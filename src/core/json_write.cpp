// Writing values in the wire form: compact, keys in byte order, every "/" escaped.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "core/json.h"
#include "core/text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qor::wire {

namespace detail {

// The text being written. Bytes go straight behind a cursor into spare room that grows by
// doubling, so writing a byte is a compare and a store rather than a call: a large response is
// millions of small writes. The room is never cleared first, and it is kept when the text is.
class Output {
 public:
  void push_back(char byte) {
    if (cursor_ == end_) {
      grow(1);
    }
    *cursor_++ = byte;
  }
  void append(const char* bytes, std::size_t count) {
    if (static_cast<std::size_t>(end_ - cursor_) < count) {
      grow(count);
    }
    if (count != 0) {
      std::memcpy(cursor_, bytes, count);
      cursor_ += count;
    }
  }
  void append(std::string_view bytes) { append(bytes.data(), bytes.size()); }

  std::string_view text() const { return {storage_.get(), used()}; }
  void clear() { cursor_ = storage_.get(); }

 private:
  std::size_t used() const { return static_cast<std::size_t>(cursor_ - storage_.get()); }
  std::size_t capacity() const { return static_cast<std::size_t>(end_ - storage_.get()); }

  // Makes room for at least `count` more bytes.
  void grow(std::size_t count) {
    const std::size_t written = used();
    const std::size_t capacity =
        std::max({std::size_t{256}, 2 * this->capacity(), written + count});
    auto larger = std::make_unique_for_overwrite<char[]>(capacity);
    if (written != 0) {
      std::memcpy(larger.get(), storage_.get(), written);
    }
    storage_ = std::move(larger);
    cursor_ = storage_.get() + written;
    end_ = storage_.get() + capacity;
  }

  std::unique_ptr<char[]> storage_;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace detail

namespace {

using detail::Output;

// Eight bytes at a time: whether any byte of a word is below n (n <= 128) or equal to c. Used to
// skip long runs of ordinary string bytes quickly.
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

void appendEscape(Output& out, unsigned char byte) {
  if (const char letter = kShortEscapes[byte]; letter != 0) {
    const char escaped[] = {'\\', letter};
    out.append(escaped, sizeof escaped);
    return;
  }
  constexpr char kHex[] = "0123456789abcdef";
  const char escaped[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0x0F]};
  out.append(escaped, sizeof escaped);
}

// The index of the first byte at or after `i` that needs attention (escaped or non-ASCII), or the
// size when there is none. Ordinary text is scanned sixteen bytes at a time where SSE2 is there
// (every x86-64), then eight at a time, then byte by byte.
std::size_t skipPlain(std::string_view s, std::size_t i) {
  const std::size_t size = s.size();
  // Non-ASCII text and escapes come in runs: the byte after one usually needs attention too.
  if (i < size && kByteClasses[static_cast<unsigned char>(s[i])] != ByteClass::plain) {
    return i;
  }
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i lastControl = _mm_set1_epi8(0x1F);
  while (size - i >= 16) {
    __m128i bytes;
    std::memcpy(&bytes, s.data() + i, sizeof bytes);
    // A byte is a control character exactly when its unsigned minimum with 0x1F is itself.
    const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(bytes, lastControl), bytes);
    const __m128i escaped =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                     _mm_or_si128(_mm_cmpeq_epi8(bytes, slash), control));
    // The sign bit of each byte marks the non-ASCII ones.
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(escaped) | _mm_movemask_epi8(bytes));
    if (mask != 0) {
      return i + static_cast<std::size_t>(std::countr_zero(mask));
    }
    i += 16;
  }
#endif
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
  return i;
}

// Copies runs of bytes that need no attention in one append. Ill-formed UTF-8 (which only a
// handler can introduce, since parsed input is repaired) goes out as U+FFFD so that every line
// stays valid UTF-8.
void appendString(Output& out, std::string_view s) {
  out.push_back('"');
  const std::size_t size = s.size();
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (true) {
    i = skipPlain(s, i);
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
void appendNumber(Output& out, Number number) {
  char digits[32];
  const auto result = std::to_chars(digits, digits + sizeof digits, number);
  out.append(digits, static_cast<std::size_t>(result.ptr - digits));
}

// Whole numbers below 100,000 in magnitude, which is most coordinates and sizes, are written
// through the much cheaper integer conversion. It gives the same digits: for them the plain form
// is never longer than the exponent form ("10000" against "1e+04"), so the shortest form is the
// plain one. Negative zero keeps its sign, so it takes the general path.
void appendDouble(Output& out, double number) {
  if (!std::isfinite(number)) {
    out.append("null");
    return;
  }
  const bool negativeZero = number == 0 && std::signbit(number);
  if (std::fabs(number) < 1e5 && std::trunc(number) == number && !negativeZero) {
    appendNumber(out, static_cast<std::int32_t>(number));
    return;
  }
  appendNumber(out, number);  // shortest form that reads back to the same double
}

// Writes a whole value without recursion: every open array or object is a frame on an explicit
// stack.
class TreeWriter {
 public:
  explicit TreeWriter(Output& out) : out_(out) {}

  void write(const Json& root) {
    stack_.reserve(16);
    open(root);
    while (!stack_.empty()) {
      const Json* child = advance(stack_.back());
      if (child != nullptr) {
        open(*child);  // may push a frame; nothing below touches the old top
      }
    }
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
      case Json::value_t::binary: {  // a fragment: JSON text already in wire form
        const auto& text = value.get_binary();
        if (text.empty()) {
          out_.append("null");  // a writer that was given nothing
          return;
        }
        out_.append(reinterpret_cast<const char*>(text.data()), text.size());
        return;
      }
      case Json::value_t::null:
      case Json::value_t::discarded:  // only a failed parse produces it
        out_.append("null");
        return;
    }
  }

  Output& out_;
  std::vector<Frame> stack_;
};

}  // namespace

std::string serialize(const Json& value) {
  Output out;
  TreeWriter(out).write(value);
  return std::string(out.text());
}

LineBuffer::LineBuffer() : out_(std::make_unique<Output>()) {}
LineBuffer::~LineBuffer() = default;

std::string_view LineBuffer::line(const Json& value) {
  out_->clear();
  TreeWriter(*out_).write(value);
  out_->push_back('\n');
  return out_->text();
}

Writer::Writer() : out_(std::make_unique<Output>()) {}
Writer::~Writer() = default;

void Writer::beforeValue() {
  if (afterValue_) {
    out_->push_back(',');
  }
}

void Writer::open(char bracket) {
  beforeValue();
  out_->push_back(bracket);
  afterValue_ = false;
}

void Writer::close(char bracket) {
  out_->push_back(bracket);
  afterValue_ = true;
}

void Writer::beginObject() {
  open('{');
}

void Writer::endObject() {
  close('}');
}

void Writer::beginArray() {
  open('[');
}

void Writer::endArray() {
  close(']');
}

void Writer::key(Key name) {
  beforeValue();
  out_->push_back('"');
  out_->append(name.text());
  out_->append("\":", 2);
  afterValue_ = false;
}

void Writer::string(std::string_view text) {
  beforeValue();
  appendString(*out_, text);
  afterValue_ = true;
}

void Writer::integer(std::int64_t number) {
  beforeValue();
  appendNumber(*out_, number);
  afterValue_ = true;
}

void Writer::number(double number) {
  beforeValue();
  appendDouble(*out_, number);
  afterValue_ = true;
}

void Writer::boolean(bool flag) {
  beforeValue();
  out_->append(flag ? "true" : "false");
  afterValue_ = true;
}

void Writer::clear() {
  out_->clear();
  afterValue_ = false;
}

Json Writer::takeFragment() {
  const std::string_view text = out_->text();
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  Json taken = Json::binary(std::vector<std::uint8_t>(bytes, bytes + text.size()));
  clear();
  return taken;
}

}  // namespace qor::wire
