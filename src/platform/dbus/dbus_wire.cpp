#include "platform/dbus/dbus_wire.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/text.h"

namespace qor::platform::dbus {
namespace {

constexpr std::size_t kHeaderSize = 16;  // the fixed part, before the header fields
constexpr std::uint32_t kMaxArraySize = 64U << 20;
// Containers nest at most 32 arrays and 32 structs deep, variants count as well.
constexpr int kMaxDepth = 64;

enum HeaderField : std::uint8_t {
  kFieldPath = 1,
  kFieldInterface = 2,
  kFieldMember = 3,
  kFieldErrorName = 4,
  kFieldReplySerial = 5,
  kFieldDestination = 6,
  kFieldSignature = 8,
};

constexpr bool kNativeBigEndian = std::endian::native == std::endian::big;

std::size_t padding(std::size_t offset, std::size_t alignment) {
  return (alignment - offset % alignment) % alignment;
}

std::size_t alignmentOf(char type) {
  switch (type) {
    case 'n':
    case 'q':
      return 2;
    case 'b':
    case 'i':
    case 'u':
    case 'h':
    case 's':
    case 'o':
    case 'a':
      return 4;
    case 'x':
    case 't':
    case 'd':
    case '(':
    case '{':
      return 8;
    default:
      return 1;
  }
}

bool isBasic(char type) {
  return std::strchr("ybnqiuxtdhsog", type) != nullptr && type != '\0';
}

// The length of the single complete type at the front of `signature`; 0 when there is none.
std::size_t completeTypeLength(std::string_view signature, int depth = 0) {
  if (signature.empty() || depth > kMaxDepth) {
    return 0;
  }
  char first = signature.front();
  if (isBasic(first) || first == 'v') {
    return 1;
  }
  if (first == 'a') {
    std::size_t element = completeTypeLength(signature.substr(1), depth + 1);
    return element ? element + 1 : 0;
  }
  if (first == '(') {
    std::size_t length = 1;
    while (length < signature.size() && signature[length] != ')') {
      std::size_t member = completeTypeLength(signature.substr(length), depth + 1);
      if (member == 0) {
        return 0;
      }
      length += member;
    }
    bool closed = length < signature.size() && length > 1;
    return closed ? length + 1 : 0;
  }
  if (first == '{') {
    if (signature.size() < 4 || !isBasic(signature[1])) {
      return 0;
    }
    std::size_t value = completeTypeLength(signature.substr(2), depth + 1);
    std::size_t close = 2 + value;
    return value && close < signature.size() && signature[close] == '}' ? close + 1 : 0;
  }
  return 0;
}

bool isValidString(std::string_view text) {
  return text.find('\0') == std::string_view::npos && qor::text::isValidUtf8(text);
}

// Bus, interface and member names: ASCII without spaces or NUL, at most 255 bytes.
bool isValidName(std::string_view name) {
  return !name.empty() && name.size() <= 255 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

std::uint32_t swapped(std::uint32_t value) {
  return ((value & 0xFF) << 24) | ((value & 0xFF00) << 8) | ((value >> 8) & 0xFF00) | (value >> 24);
}

// Appends values at their alignment, which counts from the start of the message at `start`.
class Writer {
 public:
  Writer(std::string& out, std::size_t start) : out_(out), start_(start) {}

  void align(std::size_t alignment) { out_.append(padding(out_.size() - start_, alignment), '\0'); }
  void byte(std::uint8_t value) { out_.push_back(static_cast<char>(value)); }
  void u32(std::uint32_t value) {
    align(4);
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    out_.append(bytes, 4);
  }
  void string(std::string_view text) {
    u32(static_cast<std::uint32_t>(text.size()));
    out_.append(text);
    out_.push_back('\0');
  }
  void signature(std::string_view text) {
    byte(static_cast<std::uint8_t>(text.size()));
    out_.append(text);
    out_.push_back('\0');
  }
  void field(HeaderField code, char type, std::string_view text) {
    align(8);
    byte(code);
    signature(std::string_view(&type, 1));
    if (type == 'g') {
      signature(text);
    } else {
      string(text);
    }
  }
  std::size_t offset() const { return out_.size() - start_; }
  void patch(std::size_t offset, std::uint32_t value) {
    std::memcpy(out_.data() + start_ + offset, &value, 4);
  }

 private:
  std::string& out_;
  std::size_t start_;
};

}  // namespace

bool WireReader::fail() {
  ok_ = false;
  return false;
}

bool WireReader::align(std::size_t alignment) {
  std::size_t pad = padding(offset_, alignment);
  if (!ok_ || offset_ + pad > data_.size()) {
    return fail();
  }
  for (std::size_t i = 0; i < pad; ++i) {
    if (data_[offset_ + i] != '\0') {
      return fail();
    }
  }
  offset_ += pad;
  return true;
}

bool WireReader::take(std::size_t size, const char*& bytes) {
  if (!ok_ || size > data_.size() - offset_) {
    return fail();
  }
  bytes = data_.data() + offset_;
  offset_ += size;
  return true;
}

bool WireReader::byte(std::uint8_t& value) {
  const char* bytes = nullptr;
  if (!take(1, bytes)) {
    return false;
  }
  value = static_cast<std::uint8_t>(*bytes);
  return true;
}

bool WireReader::u32(std::uint32_t& value) {
  const char* bytes = nullptr;
  if (!align(4) || !take(4, bytes)) {
    return false;
  }
  std::memcpy(&value, bytes, 4);
  if (bigEndian_ != kNativeBigEndian) {
    value = swapped(value);
  }
  return true;
}

bool WireReader::i32(std::int32_t& value) {
  std::uint32_t raw = 0;
  if (!u32(raw)) {
    return false;
  }
  value = static_cast<std::int32_t>(raw);
  return true;
}

bool WireReader::boolean(bool& value) {
  std::uint32_t raw = 0;
  if (!u32(raw) || raw > 1) {
    return fail();
  }
  value = raw == 1;
  return true;
}

bool WireReader::f64(double& value) {
  const char* bytes = nullptr;
  if (!align(8) || !take(8, bytes)) {
    return false;
  }
  std::uint64_t raw = 0;
  std::memcpy(&raw, bytes, 8);
  if (bigEndian_ != kNativeBigEndian) {
    raw = (static_cast<std::uint64_t>(swapped(static_cast<std::uint32_t>(raw))) << 32) |
          swapped(static_cast<std::uint32_t>(raw >> 32));
  }
  std::memcpy(&value, &raw, 8);
  return true;
}

bool WireReader::string(std::string_view& value) {
  std::uint32_t length = 0;
  const char* bytes = nullptr;
  if (!u32(length) || !take(std::size_t{length} + 1, bytes) || bytes[length] != '\0') {
    return fail();
  }
  value = std::string_view(bytes, length);
  return isValidString(value) || fail();
}

bool WireReader::signature(std::string_view& value) {
  std::uint8_t length = 0;
  const char* bytes = nullptr;
  if (!byte(length) || !take(std::size_t{length} + 1, bytes) || bytes[length] != '\0') {
    return fail();
  }
  value = std::string_view(bytes, length);
  return true;
}

bool WireReader::array(std::string_view element, std::size_t& end) {
  std::uint32_t length = 0;
  if (element.empty() || !u32(length) || length > kMaxArraySize ||
      !align(alignmentOf(element[0]))) {
    return fail();
  }
  if (length > data_.size() - offset_) {
    return fail();
  }
  end = offset_ + length;
  return true;
}

bool WireReader::variant(std::string_view& contained) {
  if (!signature(contained)) {
    return false;
  }
  std::size_t length = completeTypeLength(contained);
  return (length != 0 && length == contained.size()) || fail();
}

bool WireReader::skip(std::string_view signature) {
  while (!signature.empty()) {
    std::size_t length = completeTypeLength(signature);
    if (length == 0 || !skipValue(signature.substr(0, length), 0)) {
      return fail();
    }
    signature.remove_prefix(length);
  }
  return ok_;
}

bool WireReader::skipValue(std::string_view type, int depth) {
  if (depth > kMaxDepth) {
    return fail();
  }
  const char* bytes = nullptr;
  std::string_view text;
  switch (type.front()) {
    case 'y':
    case 'g':
      return type.front() == 'y' ? take(1, bytes) : signature(text);
    case 'n':
    case 'q':
      return align(2) && take(2, bytes);
    case 'b':
    case 'i':
    case 'u':
    case 'h':
      return align(4) && take(4, bytes);
    case 'x':
    case 't':
    case 'd':
      return align(8) && take(8, bytes);
    case 's':
    case 'o':
      return string(text);
    case 'v': {
      std::string_view contained;
      return variant(contained) && skipValue(contained, depth + 1);
    }
    case 'a': {
      std::string_view element = type.substr(1);
      std::size_t end = 0;
      if (!array(element, end)) {
        return false;
      }
      while (within(end)) {
        if (!skipValue(element, depth + 1)) {
          return false;
        }
      }
      return (ok_ && offset_ == end) || fail();
    }
    case '(':
    case '{': {
      if (!structure()) {
        return false;
      }
      std::string_view members = type.substr(1, type.size() - 2);
      while (!members.empty()) {
        std::size_t length = completeTypeLength(members, depth + 1);
        if (length == 0 || !skipValue(members.substr(0, length), depth + 1)) {
          return fail();
        }
        members.remove_prefix(length);
      }
      return ok_;
    }
    default:
      return fail();
  }
}

std::optional<std::size_t> messageLength(std::string_view data) {
  if (data.size() < kHeaderSize) {
    return 0;
  }
  char order = data[0];
  if ((order != 'l' && order != 'B') || data[3] != 1) {
    return std::nullopt;
  }
  WireReader reader(data, order == 'B', 4);
  std::uint32_t bodyLength = 0, serial = 0, fieldsLength = 0;
  reader.u32(bodyLength);
  reader.u32(serial);
  reader.u32(fieldsLength);
  if (!reader.ok() || fieldsLength > kMaxArraySize || bodyLength > kMaxMessageSize) {
    return std::nullopt;
  }
  std::size_t fieldsEnd = kHeaderSize + fieldsLength;
  std::size_t total = fieldsEnd + padding(fieldsEnd, 8) + bodyLength;
  if (total > kMaxMessageSize) {
    return std::nullopt;
  }
  return total;
}

std::optional<MessageView> parseMessage(std::string_view message) {
  std::optional<std::size_t> length = messageLength(message);
  if (!length || *length == 0 || *length != message.size()) {
    return std::nullopt;
  }
  MessageView view;
  view.bytes = message;
  view.bigEndian = message[0] == 'B';
  view.type = static_cast<MessageType>(message[1]);
  WireReader reader(message, view.bigEndian, 8);
  std::uint32_t bodyLength = 0;
  WireReader(message, view.bigEndian, 4).u32(bodyLength);
  reader.u32(view.serial);
  std::size_t end = 0;
  if (!reader.array("(yv)", end) || view.serial == 0) {
    return std::nullopt;
  }
  while (reader.within(end)) {
    std::uint8_t code = 0;
    std::string_view type;
    if (!reader.structure() || !reader.byte(code) || !reader.variant(type)) {
      return std::nullopt;
    }
    if (code == kFieldReplySerial && type == "u") {
      reader.u32(view.replySerial);
    } else if (code == kFieldErrorName && type == "s") {
      reader.string(view.errorName);
    } else if (code == kFieldSignature && type == "g") {
      reader.signature(view.signature);
    } else {
      reader.skip(type);
    }
  }
  if (!reader.ok() || reader.offset() != end) {
    return std::nullopt;
  }
  view.bodyOffset = end + padding(end, 8);
  if (view.bodyOffset + bodyLength != message.size() ||
      message.substr(end, view.bodyOffset - end).find_first_not_of('\0') !=
          std::string_view::npos) {
    return std::nullopt;
  }
  return view;
}

bool isValidObjectPath(std::string_view path) {
  if (path.empty() || path.front() != '/') {
    return false;
  }
  if (path.size() == 1) {
    return true;
  }
  if (path.back() == '/') {
    return false;
  }
  char previous = '\0';
  for (char c : path) {
    bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '_' || c == '/';
    if (!allowed || (c == '/' && previous == '/')) {
      return false;
    }
    previous = c;
  }
  return true;
}

bool appendMethodCall(std::string& out, std::uint32_t serial, const CallAddress& address,
                      std::span<const Argument> arguments) {
  if (!isValidObjectPath(address.path) || !isValidName(address.interface) ||
      !isValidName(address.member) ||
      (!address.destination.empty() && !isValidName(address.destination)) || serial == 0) {
    return false;
  }
  std::string signature;
  for (const Argument& argument : arguments) {
    if (const auto* text = std::get_if<std::string_view>(&argument)) {
      if (!isValidString(*text)) {
        return false;
      }
      signature.push_back('s');
    } else {
      signature.push_back(std::holds_alternative<std::uint32_t>(argument) ? 'u' : 'i');
    }
  }
  std::size_t start = out.size();
  Writer writer(out, start);
  writer.byte(kNativeBigEndian ? 'B' : 'l');
  writer.byte(static_cast<std::uint8_t>(MessageType::methodCall));
  writer.byte(0);  // flags: a reply is expected
  writer.byte(1);  // protocol version
  writer.u32(0);   // body length, patched below
  writer.u32(serial);
  writer.u32(0);  // header fields length, patched below
  writer.field(kFieldPath, 'o', address.path);
  writer.field(kFieldInterface, 's', address.interface);
  writer.field(kFieldMember, 's', address.member);
  if (!address.destination.empty()) {
    writer.field(kFieldDestination, 's', address.destination);
  }
  if (!signature.empty()) {
    writer.field(kFieldSignature, 'g', signature);
  }
  writer.patch(12, static_cast<std::uint32_t>(writer.offset() - kHeaderSize));
  writer.align(8);
  std::size_t bodyStart = writer.offset();
  for (const Argument& argument : arguments) {
    if (const auto* text = std::get_if<std::string_view>(&argument)) {
      writer.string(*text);
    } else if (const auto* number = std::get_if<std::uint32_t>(&argument)) {
      writer.u32(*number);
    } else {
      writer.u32(static_cast<std::uint32_t>(std::get<std::int32_t>(argument)));
    }
  }
  writer.patch(4, static_cast<std::uint32_t>(writer.offset() - bodyStart));
  return true;
}

}  // namespace qor::platform::dbus
