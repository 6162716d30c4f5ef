#pragma once
// The project's own model of an Apple Event descriptor: a four-character type code with its data,
// an ordered list of items, or keyword-keyed fields (records, object specifiers, events). Plain
// values: copy them freely, no platform object stands behind them.
//
// Shapes, chosen by the type code:
//   'list'                  items, position 1 first; data and fields unused.
//   'reco', 'obj ', 'aevt'  fields, one per keyword, in insertion order; data and items unused.
//   anything else           a scalar: data holds the payload (encodings below).
//
// Scalar encodings (multi-byte numbers are big-endian, so a type code's four bytes are its four
// characters in order):
//   'utxt' Unicode text   UTF-8 (not UTF-16); 'utf8' is read the same way
//   'long' integer        4 bytes, two's complement
//   'doub' real           8 bytes, IEEE 754 double
//   'bool' Boolean        1 byte, 0 or 1
//   'type' type code      4 bytes
//   'enum' enumerator     4 bytes
//   'furl' file URL       UTF-8 text of a "file://" URL, the path percent-encoded

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qor {

using FourCharCode = std::uint32_t;

// A code from a literal of exactly four ASCII characters: fourCharLiteral("obj ") == 0x6F626A20.
// Compile-time companion of fourChar() (which checks text from requests).
template <std::size_t N>
consteval FourCharCode fourCharLiteral(const char (&text)[N]) {
  static_assert(N == 5, "a four-character code has four characters");
  FourCharCode code = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    code = (code << 8) | static_cast<unsigned char>(text[i]);
  }
  return code;
}

// The four bytes of a code, most significant first ("obj " for 0x6F626A20).
std::string fourCharText(FourCharCode code);

namespace ae {
// Descriptor types.
inline constexpr FourCharCode kText = fourCharLiteral("utxt");
inline constexpr FourCharCode kUTF8Text = fourCharLiteral("utf8");
inline constexpr FourCharCode kInteger = fourCharLiteral("long");
inline constexpr FourCharCode kReal = fourCharLiteral("doub");
inline constexpr FourCharCode kBoolean = fourCharLiteral("bool");
inline constexpr FourCharCode kTypeCode = fourCharLiteral("type");
inline constexpr FourCharCode kEnumerated = fourCharLiteral("enum");
inline constexpr FourCharCode kFileURL = fourCharLiteral("furl");
inline constexpr FourCharCode kList = fourCharLiteral("list");
inline constexpr FourCharCode kRecord = fourCharLiteral("reco");
inline constexpr FourCharCode kObjectSpecifier = fourCharLiteral("obj ");
inline constexpr FourCharCode kAppleEvent = fourCharLiteral("aevt");

// Keywords.
inline constexpr FourCharCode kDirectObject = fourCharLiteral("----");
inline constexpr FourCharCode kErrorNumber = fourCharLiteral("errn");
inline constexpr FourCharCode kErrorString = fourCharLiteral("errs");
inline constexpr FourCharCode kDesiredClass = fourCharLiteral("want");
inline constexpr FourCharCode kKeyForm = fourCharLiteral("form");
inline constexpr FourCharCode kKeyData = fourCharLiteral("seld");
inline constexpr FourCharCode kContainer = fourCharLiteral("from");

// Codes that stand for "any class" and "any event" in permission checks.
inline constexpr FourCharCode kWildcard = fourCharLiteral("****");

// Send options: wait for the reply (0x3) and never interact with the user (0x10).
inline constexpr std::uint32_t kWaitReplyNeverInteract = 0x13;
}  // namespace ae

struct AppleDescriptorField;

struct AppleDescriptor {
  FourCharCode type = 0;
  std::vector<std::uint8_t> data;            // scalar payload
  std::vector<AppleDescriptor> items;        // 'list' items, position 1 first
  std::vector<AppleDescriptorField> fields;  // records and events, by keyword
};

// One keyword and its value: a field of a record or a reply event. (A named struct: a std::pair
// holding AppleDescriptor inside AppleDescriptor itself fails to build with clang and libstdc++.)
struct AppleDescriptorField {
  FourCharCode keyword = 0;
  AppleDescriptor value;
};

// One Apple Event to send: class, id, target and keyword parameters.
struct AppleEvent {
  FourCharCode eventClass = 0;
  FourCharCode eventID = 0;
  std::string targetBundleID;
  std::vector<std::pair<FourCharCode, AppleDescriptor>> parameters;
  std::uint32_t sendOptions = ae::kWaitReplyNeverInteract;
};

// ---- Constructors -----------------------------------------------------------------------------

AppleDescriptor textDescriptor(std::string_view utf8);
AppleDescriptor integerDescriptor(std::int32_t value);
AppleDescriptor realDescriptor(double value);
AppleDescriptor booleanDescriptor(bool value);
AppleDescriptor typeCodeDescriptor(FourCharCode code);
AppleDescriptor enumDescriptor(FourCharCode code);
// REQUIRES: path is absolute. The path is taken as given; whether it exists is not asked.
AppleDescriptor fileURLDescriptor(std::string_view path);
AppleDescriptor listDescriptor(std::vector<AppleDescriptor> items = {});
AppleDescriptor recordDescriptor(std::vector<AppleDescriptorField> fields = {});
// An event or a reply event carrying its parameters as fields.
AppleDescriptor eventDescriptor(std::vector<AppleDescriptorField> parameters);

// Stores value under keyword, replacing an earlier value of the same keyword in place.
void setField(AppleDescriptor& keyed, FourCharCode keyword, AppleDescriptor value);

// ---- Readers ----------------------------------------------------------------------------------

// The field under keyword, or nullptr (also for descriptors that have no fields).
const AppleDescriptor* field(const AppleDescriptor& keyed, FourCharCode keyword);

// The list item at position (1 is the first), or nullptr when out of range or not a list.
const AppleDescriptor* itemAt(const AppleDescriptor& list, std::size_t position);

// The text rendering of a descriptor:
//   'utxt', 'utf8'  the text itself
//   'long', 'doub'  the number in decimal ("-42", "2.5"; reals in their shortest exact form)
//   'bool'          "true" or "false"
//   'type', 'enum'  the four characters of the code ("obj ")
//   'furl'          the URL ("file:///tmp/a%20b.txt")
// Nothing for lists, records, object specifiers, events, other types and malformed data. Bytes
// that are not valid UTF-8 are rendered as U+FFFD, so the result is always valid UTF-8.
std::optional<std::string> stringValue(const AppleDescriptor& descriptor);

// The 32-bit integer of a 'long' (or 0/1 of a 'bool'); nothing for other types or malformed data.
std::optional<std::int32_t> int32Value(const AppleDescriptor& descriptor);

// The value of a well-formed 'bool'; nothing otherwise.
std::optional<bool> booleanValue(const AppleDescriptor& descriptor);

// The decoded path of a 'furl' whose URL starts with "file://"; nothing otherwise.
std::optional<std::string> fileURLPath(const AppleDescriptor& descriptor);

// A record (or an object specifier) as an object specifier 'obj '. It exists only when the fields
// are exactly the four keywords 'want', 'form', 'seld' and 'from' (in any order), with 'want' a
// type code and 'form' an enumerator; 'seld' and 'from' may be anything. Any other type, a missing,
// extra or repeated keyword, or a wrongly typed 'want' or 'form' yields nothing.
std::optional<AppleDescriptor> coerceToObjectSpecifier(const AppleDescriptor& record);

// The length in bytes of a descriptor's data. Scalars: the size of data. Compound descriptors
// count the size of a flattened encoding of their contents:
//   list        4 (item count) + for each item: 8 (type, length) + the item's byte length
//   keyed       4 (field count) + for each field: 12 (keyword, type, length) + the value's length
// So an empty list or record has 4 bytes, and a record holding one 'long' has 4 + 12 + 4 = 20.
std::size_t dataByteLength(const AppleDescriptor& descriptor);

}  // namespace qor
