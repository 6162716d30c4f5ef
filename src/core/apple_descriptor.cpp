#include "core/apple_descriptor.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <set>

#include "core/text.h"
#include "core/uri.h"

namespace qor {
namespace {

bool isKeyedType(FourCharCode type) {
  return type == ae::kRecord || type == ae::kObjectSpecifier || type == ae::kAppleEvent;
}

AppleDescriptor scalar(FourCharCode type, std::vector<std::uint8_t> data) {
  AppleDescriptor descriptor;
  descriptor.type = type;
  descriptor.data = std::move(data);
  return descriptor;
}

AppleDescriptor keyed(FourCharCode type, std::vector<AppleDescriptorField> fields) {
  AppleDescriptor descriptor;
  descriptor.type = type;
  for (auto& entry : fields) {
    setField(descriptor, entry.keyword, std::move(entry.value));
  }
  return descriptor;
}

std::vector<std::uint8_t> bigEndian(std::uint64_t value, std::size_t width) {
  std::vector<std::uint8_t> bytes(width);
  for (std::size_t i = 0; i < width; ++i) {
    bytes[width - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  return bytes;
}

std::optional<std::uint64_t> readBigEndian(const std::vector<std::uint8_t>& bytes,
                                           std::size_t width) {
  if (bytes.size() != width) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (std::uint8_t byte : bytes) {
    value = (value << 8) | byte;
  }
  return value;
}

std::string_view asText(const std::vector<std::uint8_t>& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string realText(double value) {
  std::array<char, 32> buffer{};
  auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return error == std::errc() ? std::string(buffer.data(), end) : std::string();
}

}  // namespace

std::string fourCharText(FourCharCode code) {
  std::string text(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) {
    text[i] = static_cast<char>((code >> (8 * (3 - i))) & 0xFF);
  }
  return text;
}

AppleDescriptor textDescriptor(std::string_view utf8) {
  return scalar(ae::kText, {utf8.begin(), utf8.end()});
}

AppleDescriptor integerDescriptor(std::int32_t value) {
  return scalar(ae::kInteger, bigEndian(static_cast<std::uint32_t>(value), 4));
}

AppleDescriptor realDescriptor(double value) {
  return scalar(ae::kReal, bigEndian(std::bit_cast<std::uint64_t>(value), 8));
}

AppleDescriptor booleanDescriptor(bool value) {
  return scalar(ae::kBoolean, {static_cast<std::uint8_t>(value ? 1 : 0)});
}

AppleDescriptor typeCodeDescriptor(FourCharCode code) {
  return scalar(ae::kTypeCode, bigEndian(code, 4));
}

AppleDescriptor enumDescriptor(FourCharCode code) {
  return scalar(ae::kEnumerated, bigEndian(code, 4));
}

AppleDescriptor fileURLDescriptor(std::string_view path) {
  std::string url = "file://" + uri::percentEncodePath(path);
  return scalar(ae::kFileURL, {url.begin(), url.end()});
}

AppleDescriptor listDescriptor(std::vector<AppleDescriptor> items) {
  AppleDescriptor descriptor;
  descriptor.type = ae::kList;
  descriptor.items = std::move(items);
  return descriptor;
}

AppleDescriptor recordDescriptor(std::vector<AppleDescriptorField> fields) {
  return keyed(ae::kRecord, std::move(fields));
}

AppleDescriptor eventDescriptor(std::vector<AppleDescriptorField> parameters) {
  return keyed(ae::kAppleEvent, std::move(parameters));
}

void setField(AppleDescriptor& keyed, FourCharCode keyword, AppleDescriptor value) {
  auto existing = std::find_if(keyed.fields.begin(), keyed.fields.end(),
                               [keyword](const auto& entry) { return entry.keyword == keyword; });
  if (existing != keyed.fields.end()) {
    existing->value = std::move(value);
  } else {
    keyed.fields.push_back({keyword, std::move(value)});
  }
}

const AppleDescriptor* field(const AppleDescriptor& keyed, FourCharCode keyword) {
  if (!isKeyedType(keyed.type)) {
    return nullptr;
  }
  for (const auto& entry : keyed.fields) {
    if (entry.keyword == keyword) {
      return &entry.value;
    }
  }
  return nullptr;
}

const AppleDescriptor* itemAt(const AppleDescriptor& list, std::size_t position) {
  if (list.type != ae::kList || position < 1 || position > list.items.size()) {
    return nullptr;
  }
  return &list.items[position - 1];
}

std::optional<std::string> stringValue(const AppleDescriptor& descriptor) {
  switch (descriptor.type) {
    case ae::kText:
    case ae::kUTF8Text:
    case ae::kFileURL:
      return text::repairUtf8(asText(descriptor.data));
    case ae::kTypeCode:
    case ae::kEnumerated:
      if (descriptor.data.size() != 4) {
        return std::nullopt;
      }
      return text::repairUtf8(asText(descriptor.data));
    case ae::kInteger: {
      auto value = int32Value(descriptor);
      return value ? std::optional(std::to_string(*value)) : std::nullopt;
    }
    case ae::kReal: {
      auto bits = readBigEndian(descriptor.data, 8);
      return bits ? std::optional(realText(std::bit_cast<double>(*bits))) : std::nullopt;
    }
    case ae::kBoolean: {
      auto value = booleanValue(descriptor);
      return value ? std::optional<std::string>(*value ? "true" : "false") : std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

std::optional<std::int32_t> int32Value(const AppleDescriptor& descriptor) {
  if (descriptor.type == ae::kBoolean) {
    auto value = booleanValue(descriptor);
    return value ? std::optional<std::int32_t>(*value ? 1 : 0) : std::nullopt;
  }
  if (descriptor.type != ae::kInteger) {
    return std::nullopt;
  }
  auto bits = readBigEndian(descriptor.data, 4);
  if (!bits) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(*bits));
}

std::optional<bool> booleanValue(const AppleDescriptor& descriptor) {
  if (descriptor.type != ae::kBoolean || descriptor.data.size() != 1 || descriptor.data[0] > 1) {
    return std::nullopt;
  }
  return descriptor.data[0] == 1;
}

std::optional<std::string> fileURLPath(const AppleDescriptor& descriptor) {
  constexpr std::string_view kScheme = "file://";
  std::string_view url = asText(descriptor.data);
  if (descriptor.type != ae::kFileURL || !url.starts_with(kScheme)) {
    return std::nullopt;
  }
  return uri::percentDecode(url.substr(kScheme.size()));
}

std::optional<AppleDescriptor> coerceToObjectSpecifier(const AppleDescriptor& record) {
  if (record.type != ae::kRecord && record.type != ae::kObjectSpecifier) {
    return std::nullopt;
  }
  const std::set<FourCharCode> required = {ae::kDesiredClass, ae::kKeyForm, ae::kKeyData,
                                           ae::kContainer};
  std::set<FourCharCode> present;
  for (const auto& entry : record.fields) {
    if (!required.contains(entry.keyword) || !present.insert(entry.keyword).second) {
      return std::nullopt;
    }
  }
  if (present != required || field(record, ae::kDesiredClass)->type != ae::kTypeCode ||
      field(record, ae::kKeyForm)->type != ae::kEnumerated) {
    return std::nullopt;
  }
  AppleDescriptor specifier = record;
  specifier.type = ae::kObjectSpecifier;
  return specifier;
}

std::size_t dataByteLength(const AppleDescriptor& descriptor) {
  constexpr std::size_t kCountBytes = 4;
  if (descriptor.type == ae::kList) {
    std::size_t length = kCountBytes;
    for (const auto& item : descriptor.items) {
      length += 8 + dataByteLength(item);
    }
    return length;
  }
  if (isKeyedType(descriptor.type)) {
    std::size_t length = kCountBytes;
    for (const auto& entry : descriptor.fields) {
      length += 12 + dataByteLength(entry.value);
    }
    return length;
  }
  return descriptor.data.size();
}

}  // namespace qor
