#pragma once
// The D-Bus wire format, written and read in place: method calls are marshalled straight into an
// output buffer and replies are read where they arrived, with no message object per call. The
// accessibility walk sends calls by the thousand, and this is what lets it gather them into few
// writes and read their replies in few reads (see call_pipe.h).
//
// Only what those calls need is written: method calls whose arguments are integers and strings.
// Anything well formed can be read or skipped. Every read checks its bounds, so a malformed or
// truncated message fails its reads instead of reading past its end.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qor::platform::dbus {

enum class MessageType : std::uint8_t {
  invalid = 0,
  methodCall = 1,
  methodReturn = 2,
  error = 3,
  signal = 4,
};

// Reads the values of one message in order. Offsets count from the start of the message, which
// is what D-Bus aligns values to. A read that fails (wrong bounds, malformed data) returns false
// and leaves the reader failed: every later read fails too.
class WireReader {
 public:
  WireReader() = default;
  WireReader(std::string_view message, bool bigEndian, std::size_t offset)
      : data_(message), bigEndian_(bigEndian), offset_(offset) {}

  bool byte(std::uint8_t& value);
  bool boolean(bool& value);
  bool u32(std::uint32_t& value);
  bool i32(std::int32_t& value);
  bool f64(double& value);
  bool string(std::string_view& value);  // a string or an object path
  bool signature(std::string_view& value);
  // An array: afterwards, the elements lie from the current offset up to `end`. `element` is the
  // signature of one element, which decides the padding before the first.
  bool array(std::string_view element, std::size_t& end);
  bool within(std::size_t end) const { return ok_ && offset_ < end; }
  bool structure() { return align(8); }  // a struct or a dictionary entry
  // The signature of a variant, whose value follows: read it, or skip it with that signature.
  bool variant(std::string_view& contained);
  // Skips one value of each complete type in `signature`, in order.
  bool skip(std::string_view signature);

  std::size_t offset() const { return offset_; }
  bool ok() const { return ok_; }

 private:
  bool align(std::size_t alignment);
  bool take(std::size_t size, const char*& bytes);
  bool fail();
  bool skipValue(std::string_view type, int depth);

  std::string_view data_;
  bool bigEndian_ = false;
  std::size_t offset_ = 0;
  bool ok_ = true;
};

// One message as it lies in a buffer, with the header fields the bridge looks at.
struct MessageView {
  MessageType type = MessageType::invalid;
  bool bigEndian = false;
  std::uint32_t serial = 0;
  std::uint32_t replySerial = 0;  // 0 when the message answers nothing
  std::string_view errorName;
  std::string_view signature;  // of the body
  std::string_view bytes;      // the whole message
  std::size_t bodyOffset = 0;

  WireReader body() const { return WireReader(bytes, bigEndian, bodyOffset); }
  bool isReply() const { return type == MessageType::methodReturn || type == MessageType::error; }
};

// Messages larger than this are refused: D-Bus allows at most 128 MiB.
inline constexpr std::size_t kMaxMessageSize = std::size_t{128} << 20;

// How long the message at the start of `data` is: 0 when `data` holds too little to tell,
// nothing when it cannot be the start of a valid message.
std::optional<std::size_t> messageLength(std::string_view data);

// Reads the header of exactly one message (as long as messageLength said); nothing when the
// header is malformed.
std::optional<MessageView> parseMessage(std::string_view message);

// An argument of a method call: "u", "i" or "s" by its type.
using Argument = std::variant<std::uint32_t, std::int32_t, std::string_view>;

// A method call's addressing. `destination` is empty on a peer-to-peer connection.
struct CallAddress {
  std::string_view destination;
  std::string_view path;
  std::string_view interface;
  std::string_view member;
};

// Appends a method call to `out` in this machine's byte order. False, with `out` unchanged, when
// the path, a name or a string cannot be sent.
bool appendMethodCall(std::string& out, std::uint32_t serial, const CallAddress& address,
                      std::span<const Argument> arguments);

bool isValidObjectPath(std::string_view path);

}  // namespace qor::platform::dbus
