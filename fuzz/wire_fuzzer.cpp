// The wire JSON reader and writer and the Apple Event descriptor conversions, alone.
//
// Every input is used three ways:
// 1. As a request line for wire::parse. Whatever it accepts, wire::serialize writes
//    deterministically, and the text reads back to an equal value that writes the same bytes; an
//    independent strict reader agrees with both the written text and, for well-formed input, the
//    input itself.
// 2. Every JSON object in the parsed value (the top level, or the elements of a top-level array)
//    goes through appleDescriptor. It either refuses with one of its own failures or gives a
//    descriptor that decodes back to the plain value the typed object stands for.
// 3. As a program that builds a reply descriptor (any type code, malformed data, deep and long
//    lists, records) for decodeAppleDescriptor, which must never fail and must respect its bounds.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/apple_descriptor.h"
#include "core/apple_event_json.h"
#include "core/json.h"
#include "core/native_failure.h"
#include "core/text.h"

namespace qor::fuzzing {
namespace {

[[noreturn]] void fault(const char* what, std::string_view context = {}) {
  std::fprintf(stderr, "wire_fuzzer: %s\n", what);
  if (!context.empty()) {
    std::fprintf(stderr, "  at: %.*s\n",
                 static_cast<int>(std::min<std::size_t>(context.size(), 2000)), context.data());
  }
  std::abort();
}

void require(bool condition, const char* what, std::string_view context = {}) {
  if (!condition) {
    fault(what, context);
  }
}

// ---- 1. Reader and writer ----------------------------------------------------------------------

// Whether the text holds an escaped UTF-16 surrogate half, which the wire reader accepts (as
// U+FFFD when unpaired) and a strict reader may refuse.
bool hasSurrogateEscape(std::string_view text) {
  for (std::size_t at = text.find("\\u"); at != std::string_view::npos;
       at = text.find("\\u", at + 1)) {
    if (at + 3 < text.size() && (text[at + 2] == 'd' || text[at + 2] == 'D') &&
        std::string_view("89abcdefABCDEF").find(text[at + 3]) != std::string_view::npos) {
      return true;
    }
  }
  return false;
}

bool isContainer(const Json& value) {
  return value.is_object() || value.is_array();
}

void checkRoundTrip(std::string_view input, const std::optional<Json>& parsed) {
  // A strict reader on well-formed input: both must accept the same documents, as equal values.
  // (That reader stops at a NUL byte as if the input ended there, where the wire reader rightly
  // refuses the line.)
  if (text::isValidUtf8(input) && !hasSurrogateEscape(input) &&
      input.find('\0') == std::string_view::npos) {
    Json strict = Json::parse(input.begin(), input.end(), nullptr, false);
    bool strictAccepts = !strict.is_discarded() && isContainer(strict);
    require(strictAccepts == parsed.has_value(), "the wire reader and a strict reader disagree",
            input);
    if (parsed) {
      require(strict == *parsed, "the wire reader reads another value than a strict reader", input);
    }
  }
  if (!parsed) {
    return;
  }
  std::string written = wire::serialize(*parsed);
  require(wire::serialize(*parsed) == written, "serialize is not deterministic", input);
  require(text::isValidUtf8(written), "serialize wrote ill-formed UTF-8", input);
  for (std::size_t i = 0; i < written.size(); ++i) {
    auto byte = static_cast<unsigned char>(written[i]);
    require(byte >= 0x20, "serialize wrote a raw control character", input);
    if (byte == '/') {
      require(i > 0 && written[i - 1] == '\\', "serialize wrote an unescaped slash", input);
    }
  }
  std::optional<Json> reread = wire::parse(written);
  require(reread.has_value(), "the writer's text does not read back", written);
  require(*reread == *parsed, "the writer's text reads back to another value", written);
  require(wire::serialize(*reread) == written, "writing the value read back changes the text",
          written);
  Json strict = Json::parse(written, nullptr, false);
  require(!strict.is_discarded() && strict == *parsed,
          "a strict reader reads the writer's text differently", written);
}

// ---- 2. Typed descriptor objects ---------------------------------------------------------------

const std::set<std::string, std::less<>> kDescriptorMessages = {
    "Apple Event codes must be four ASCII characters",
    "Apple Event descriptor nesting too deep",
    "Expected string descriptor",
    "Expected Boolean descriptor",
    "File descriptors require absolute paths",
    "Unsupported descriptor type",
    "Expected descriptor list with at most 200 entries",
    "Expected descriptor record",
    "Invalid object specifier",
    "Missing string: type",
    "Missing string: value",
    "Integer outside -2147483648...2147483647"};

// Whether `decoded` is what the reply side makes of the typed object `typed` that converted.
bool decodesAsTyped(const Json& typed, const Json& decoded, const AppleDescriptor& descriptor) {
  const std::string& type = typed["type"].get_ref<const std::string&>();
  const Json* value = typed.contains("value") ? &typed["value"] : nullptr;
  if (type == "string") {
    return decoded == *value;  // short inputs are never cut
  }
  if (type == "integer") {
    return decoded.is_number_integer() && (value ? decoded == *value : decoded == 0);
  }
  if (type == "boolean") {
    return decoded.is_boolean() &&
           decoded == (value->is_boolean() ? value->get<bool>() : value->get<double>() == 1.0);
  }
  if (type == "type" || type == "enum") {
    return decoded == *value;
  }
  if (type == "file") {
    return decoded.is_string() && decoded.get_ref<const std::string&>().starts_with("file://") &&
           fileURLPath(descriptor) == value->get<std::string>();
  }
  if (type == "list") {
    if (!decoded.is_array() || decoded.size() != value->size()) {
      return false;
    }
    for (std::size_t i = 0; i < decoded.size(); ++i) {
      if (!decodesAsTyped((*value)[i], decoded[i], descriptor.items[i])) {
        return false;
      }
    }
    return true;
  }
  FourCharCode expected = type == "record" ? ae::kRecord : ae::kObjectSpecifier;
  return decoded.is_object() && decoded.size() == 2 && decoded.contains("descriptorType") &&
         decoded.contains("bytes") && decoded["descriptorType"] == expected &&
         decoded["bytes"] == dataByteLength(descriptor) && decoded["bytes"] >= 4;
}

void checkTypedDescriptor(const Json& typed) {
  std::optional<AppleDescriptor> descriptor;
  try {
    descriptor = appleDescriptor(typed, 0);
  } catch (const NativeFailure& failure) {
    require(failure.code() == "invalidArgument", "a descriptor failure with another code");
    require(failure.details() == Json::object(), "a descriptor failure with details");
    require(kDescriptorMessages.contains(failure.message()),
            "a descriptor failure with an unknown message", failure.message());
    return;
  } catch (const std::exception& error) {
    fault("appleDescriptor threw something other than a failure record", error.what());
  }
  Json decoded = decodeAppleDescriptor(*descriptor, 0);
  require(decodesAsTyped(typed, decoded, *descriptor),
          "a converted descriptor does not decode to its plain value", wire::serialize(typed));
}

void checkTypedDescriptors(const Json& parsed) {
  if (parsed.is_object()) {
    checkTypedDescriptor(parsed);
  } else {
    for (const Json& element : parsed) {
      if (element.is_object()) {
        checkTypedDescriptor(element);
      }
    }
  }
}

// ---- 3. Reply descriptors built from bytes -----------------------------------------------------

// Reads the input as instructions for building a descriptor tree. Running out of input ends
// every open list or record; a node budget keeps the tree small.
class DescriptorBuilder {
 public:
  explicit DescriptorBuilder(std::string_view bytes) : bytes_(bytes) {}

  AppleDescriptor build(int depth = 0) {
    if (budget_ == 0 || depth > 40) {
      return textDescriptor("end");
    }
    --budget_;
    std::uint8_t op = next();
    switch (op % 8) {
      case 0:
        return list(depth);
      case 1: {  // many copies of one item: long lists cost few bytes, within the node budget
        AppleDescriptor item = build(depth + 1);
        std::size_t copies = std::min<std::size_t>(std::size_t{next()} * 2,
                                                   static_cast<std::size_t>(budget_) / nodes(item));
        budget_ -= static_cast<int>(copies * nodes(item));
        return listDescriptor(std::vector<AppleDescriptor>(copies, item));
      }
      case 2:
        return keyed(depth);
      default:
        return scalar();
    }
  }

 private:
  static constexpr FourCharCode kTypes[] = {ae::kText,       ae::kUTF8Text,        ae::kInteger,
                                            ae::kReal,       ae::kBoolean,         ae::kTypeCode,
                                            ae::kEnumerated, ae::kFileURL,         ae::kList,
                                            ae::kRecord,     ae::kObjectSpecifier, ae::kAppleEvent};
  static constexpr FourCharCode kKeywords[] = {
      ae::kDirectObject, ae::kErrorNumber, ae::kErrorString, ae::kDesiredClass,
      ae::kKeyForm,      ae::kKeyData,     ae::kContainer};

  static std::size_t nodes(const AppleDescriptor& descriptor) {
    std::size_t count = 1;
    for (const AppleDescriptor& item : descriptor.items) {
      count += nodes(item);
    }
    for (const AppleDescriptorField& entry : descriptor.fields) {
      count += nodes(entry.value);
    }
    return count;
  }

  std::uint8_t next() {
    if (at_ >= bytes_.size()) {
      return 0;
    }
    return static_cast<std::uint8_t>(bytes_[at_++]);
  }

  FourCharCode code(const FourCharCode* table, std::size_t count) {
    std::uint8_t choice = next();
    if (choice < count) {
      return table[choice];
    }
    FourCharCode raw = 0;
    for (int i = 0; i < 4; ++i) {
      raw = (raw << 8) | next();
    }
    return raw;
  }

  AppleDescriptor list(int depth) {
    AppleDescriptor descriptor = listDescriptor();
    for (std::uint8_t count = next(); count > 0 && at_ < bytes_.size(); --count) {
      descriptor.items.push_back(build(depth + 1));
    }
    return descriptor;
  }

  // A record, object specifier or event with any keywords; a non-keyed type code keeps its
  // fields, which readers must ignore.
  AppleDescriptor keyed(int depth) {
    AppleDescriptor descriptor;
    descriptor.type = code(kTypes, std::size(kTypes));
    for (std::uint8_t count = next() % 8; count > 0 && at_ < bytes_.size(); --count) {
      FourCharCode keyword = code(kKeywords, std::size(kKeywords));
      descriptor.fields.push_back({keyword, build(depth + 1)});
    }
    return descriptor;
  }

  AppleDescriptor scalar() {
    AppleDescriptor descriptor;
    descriptor.type = code(kTypes, std::size(kTypes));
    std::size_t length =
        std::min<std::size_t>(next(), bytes_.size() - std::min(at_, bytes_.size()));
    descriptor.data.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                           bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + length));
    at_ += length;
    return descriptor;
  }

  std::string_view bytes_;
  std::size_t at_ = 0;
  int budget_ = 4000;  // nodes, copies included
};

// The decoded value keeps to the reply bounds, at every depth.
void checkDecoded(const Json& decoded, int depth) {
  require(depth <= kTruncatedDescriptorDepthOut, "a decoded value nests too deep");
  if (decoded.is_array()) {
    require(decoded.size() <= kMaxDescriptorListEntries, "a decoded list is too long");
    for (const Json& item : decoded) {
      checkDecoded(item, depth + 1);
    }
  } else if (decoded.is_string()) {
    const std::string& text = decoded.get_ref<const std::string&>();
    require(text::isValidUtf8(text), "a decoded text is ill-formed UTF-8");
    require(text::graphemeCount(text) <= kMaxDescriptorTextCharacters,
            "a decoded text is too long");
  } else if (decoded.is_object()) {
    bool truncated = decoded == Json{{"truncated", true}};
    require(truncated == (depth == kTruncatedDescriptorDepthOut), "truncation at the wrong depth",
            wire::serialize(decoded));
    require(
        truncated || (decoded.size() == 2 && decoded.contains("bytes") &&
                      decoded.contains("descriptorType") && decoded["bytes"].is_number_unsigned() &&
                      decoded["descriptorType"].is_number_unsigned()),
        "a summary is not {bytes, descriptorType}", wire::serialize(decoded));
  } else {
    require(decoded.is_boolean() || decoded.is_number_integer(), "an unexpected decoded kind");
  }
}

// The platform readers on every node: they never fail and render text as well-formed UTF-8.
void checkReaders(const AppleDescriptor& descriptor, int depth) {
  if (auto text = stringValue(descriptor)) {
    require(text::isValidUtf8(*text), "stringValue gave ill-formed UTF-8");
  }
  (void)int32Value(descriptor);
  (void)booleanValue(descriptor);
  (void)fileURLPath(descriptor);
  (void)coerceToObjectSpecifier(descriptor);
  if (depth > 60) {
    return;
  }
  for (const AppleDescriptor& item : descriptor.items) {
    checkReaders(item, depth + 1);
  }
  for (const AppleDescriptorField& entry : descriptor.fields) {
    checkReaders(entry.value, depth + 1);
  }
}

void checkReplyDescriptor(std::string_view input) {
  AppleDescriptor reply = DescriptorBuilder(input).build();
  Json decoded;
  try {
    decoded = decodeAppleDescriptor(reply, 0);
  } catch (const std::exception& error) {
    fault("decodeAppleDescriptor failed", error.what());
  }
  // The reply value sits inside a response object on the wire.
  Json wrapped = Json::array({decoded});
  std::optional<Json> reread = wire::parse(wire::serialize(wrapped));
  require(reread && *reread == wrapped, "a decoded reply does not survive the wire");
  checkDecoded(decoded, 0);
  checkReaders(reply, 0);
}

// ---- Four-character codes ----------------------------------------------------------------------

void checkFourChar(std::string_view input) {
  std::string_view code =
      input.substr(0, std::min<std::size_t>(input.size(), 4 + input.size() % 3));
  bool ascii = code.size() == 4 && std::all_of(code.begin(), code.end(), [](char c) {
                 return static_cast<unsigned char>(c) < 128;
               });
  try {
    FourCharCode value = fourChar(code);
    require(ascii, "fourChar accepted a code that is not four ASCII characters", code);
    require(fourCharText(value) == code, "fourChar does not pack the four bytes in order", code);
  } catch (const NativeFailure&) {
    require(!ascii, "fourChar refused four ASCII characters", code);
  }
}

}  // namespace
}  // namespace qor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace qor::fuzzing;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::optional<qor::Json> parsed = qor::wire::parse(input);
  checkRoundTrip(input, parsed);
  if (parsed) {
    checkTypedDescriptors(*parsed);
  }
  checkReplyDescriptor(input);
  checkFourChar(input);
  return 0;
}
