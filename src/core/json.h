#pragma once
// JSON values as the bridge sees them, and the exact wire form of a line.

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

// Objects keep their keys in a std::map, so iteration is already in ascending byte order,
// which is the order the wire needs. Booleans, integers and doubles stay distinct kinds.
using Json = nlohmann::json;

namespace wire {

namespace detail {
class Output;
}

// Parses one request line. Invalid UTF-8 is repaired to U+FFFD first. The top level must be
// an object or an array; anything else, trailing garbage, a raw NUL byte, an escaped lone
// surrogate half ("\ud800") or a number that no double can hold (1e400) is a parse error and
// gives nullopt. Never recurses on the input's nesting.
std::optional<Json> parse(std::string_view line);

// Writes a value the way every response goes out: compact, keys in ascending byte order at every
// depth, every "/" escaped as "\/", non-ASCII as raw UTF-8, integers as integers, doubles in the
// shortest decimal that reads back to the same double. Iterative, so nesting depth is bounded only
// by memory. Non-finite doubles (which handlers never produce) are written as null. A fragment
// (see `Writer`) goes out verbatim.
std::string serialize(const Json& value);

// Writes lines one after another into room kept from line to line, so that once it has grown,
// answering a line allocates nothing for it.
class LineBuffer {
 public:
  LineBuffer();
  ~LineBuffer();
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  // The value as `serialize` writes it, then a newline; valid until the next call.
  std::string_view line(const Json& value);

 private:
  std::unique_ptr<detail::Output> out_;
};

// An object key written in the program itself. Whether it needs escaping is settled when the
// program is built (a key that would need it does not compile), so writing one is a single copy.
class Key {
 public:
  template <std::size_t Size>
  consteval Key(const char (&text)[Size]) : text_(text, Size - 1) {
    for (const char c : text_) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\' || c == '/') {
        throw "a key written in the program must need no escaping";
      }
    }
  }
  constexpr std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

// Writes JSON text value by value into one growing buffer, in the same form as `serialize`.
// Commas and colons are the writer's job; the order of keys is the caller's: an object's members
// must be written in ascending byte order of their keys. Nesting is the caller's too, so the
// writer itself never recurses.
class Writer {
 public:
  Writer();
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void beginObject();
  void endObject();
  void beginArray();
  void endArray();
  void key(Key name);
  void string(std::string_view text);
  void integer(std::int64_t number);
  void number(double number);
  void boolean(bool flag);

  // Drops what was written so far, keeping the room it took.
  void clear();

  // Everything written so far as a fragment: a value that is JSON text already in wire form, for
  // large results written straight from their source instead of built as values first. It is
  // kept as a binary value, which JSON cannot carry, so nothing else is mistaken for one. The
  // writer is empty afterwards and keeps its room, so one writer can serve call after call.
  Json takeFragment();

 private:
  void beforeValue();
  // An object's or array's opening or closing bracket.
  void open(char bracket);
  void close(char bracket);

  std::unique_ptr<detail::Output> out_;
  bool afterValue_ = false;  // the next value or key needs a comma first
};

}  // namespace wire
}  // namespace qor
