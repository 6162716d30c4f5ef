#include "core/apple_event_json.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/native_failure.h"
#include "core/native_parameters.h"
#include "core/text.h"

namespace qor {
namespace {

// Whether every element of an array, or every value of an object, is an object.
bool allObjects(const Json& container) {
  return std::all_of(container.begin(), container.end(),
                     [](const Json& element) { return element.is_object(); });
}

using Converter = AppleDescriptor (*)(const Json& json, int depth);

AppleDescriptor stringKind(const Json& json, int /*depth*/) {
  const Json* value = NativeParameters::find(json, "value");
  if (value == nullptr || !value->is_string()) {
    throw invalidArgument("Expected string descriptor");
  }
  return textDescriptor(value->get_ref<const std::string&>());
}

AppleDescriptor integerKind(const Json& json, int /*depth*/) {
  constexpr std::int64_t kLowest = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kHighest = std::numeric_limits<std::int32_t>::max();
  auto value =
      NativeParameters::boundedInt(NativeParameters::find(json, "value"), 0, kLowest, kHighest);
  return integerDescriptor(static_cast<std::int32_t>(value));
}

AppleDescriptor booleanKind(const Json& json, int /*depth*/) {
  auto value = NativeParameters::boolean(json, "value");
  if (!value) {
    throw invalidArgument("Expected Boolean descriptor");
  }
  return booleanDescriptor(*value);
}

AppleDescriptor typeKind(const Json& json, int /*depth*/) {
  return typeCodeDescriptor(fourChar(NativeParameters::string(json, "value")));
}

AppleDescriptor enumKind(const Json& json, int /*depth*/) {
  return enumDescriptor(fourChar(NativeParameters::string(json, "value")));
}

AppleDescriptor fileKind(const Json& json, int /*depth*/) {
  std::string path = NativeParameters::string(json, "value");
  if (!path.starts_with('/')) {
    throw invalidArgument("File descriptors require absolute paths");
  }
  return fileURLDescriptor(path);
}

AppleDescriptor listKind(const Json& json, int depth) {
  const Json* value = NativeParameters::find(json, "value");
  if (value == nullptr || !value->is_array() || value->size() > kMaxDescriptorListEntries ||
      !allObjects(*value)) {
    throw invalidArgument("Expected descriptor list with at most 200 entries");
  }
  AppleDescriptor list = listDescriptor();
  for (const Json& element : *value) {
    list.items.push_back(appleDescriptor(element, depth + 1));
  }
  return list;
}

AppleDescriptor recordKind(const Json& json, int depth) {
  const Json* value = NativeParameters::find(json, "value");
  if (value == nullptr || !value->is_object() || value->size() > kMaxDescriptorRecordEntries ||
      !allObjects(*value)) {
    throw invalidArgument("Expected descriptor record");
  }
  AppleDescriptor record = recordDescriptor();
  for (const auto& [key, element] : value->items()) {
    AppleDescriptor converted = appleDescriptor(element, depth + 1);
    setField(record, fourChar(key), std::move(converted));
  }
  return record;
}

AppleDescriptor objectKind(const Json& json, int depth) {
  auto specifier = coerceToObjectSpecifier(recordKind(json, depth));
  if (!specifier) {
    throw invalidArgument("Invalid object specifier");
  }
  return std::move(*specifier);
}

struct Kind {
  std::string_view name;
  Converter convert;
};

// Tried in this order; the first name equal to "type" wins.
constexpr Kind kKinds[] = {
    {"string", stringKind}, {"integer", integerKind}, {"boolean", booleanKind},
    {"type", typeKind},     {"enum", enumKind},       {"file", fileKind},
    {"list", listKind},     {"record", recordKind},   {"object", objectKind},
};

Json decodeList(const AppleDescriptor& list, int depth) {
  Json array = Json::array();
  std::size_t count = std::min(list.items.size(), kMaxDescriptorListEntries);
  for (std::size_t position = 1; position <= count; ++position) {
    if (const AppleDescriptor* item = itemAt(list, position)) {
      array.push_back(decodeAppleDescriptor(*item, depth + 1));
    }
  }
  return array;
}

}  // namespace

FourCharCode fourChar(std::string_view text) {
  bool ascii = text.size() == 4;
  for (std::size_t i = 0; ascii && i < 4; ++i) {
    ascii = static_cast<unsigned char>(text[i]) < 128;
  }
  if (!ascii) {
    throw invalidArgument("Apple Event codes must be four ASCII characters");
  }
  FourCharCode code = 0;
  for (char character : text) {
    code = (code << 8) | static_cast<unsigned char>(character);
  }
  return code;
}

AppleDescriptor appleDescriptor(const Json& json, int depth) {
  if (depth > kMaxDescriptorDepthIn) {
    throw invalidArgument("Apple Event descriptor nesting too deep");
  }
  std::string type = NativeParameters::string(json, "type");
  for (const Kind& kind : kKinds) {
    if (kind.name == type) {
      return kind.convert(json, depth);
    }
  }
  throw invalidArgument("Unsupported descriptor type");
}

Json decodeAppleDescriptor(const AppleDescriptor& descriptor, int depth) {
  if (depth >= kTruncatedDescriptorDepthOut) {
    return Json{{"truncated", true}};
  }
  if (descriptor.type == ae::kList) {
    return decodeList(descriptor, depth);
  }
  // Malformed 'bool' or 'long' data falls through to the summary rather than inventing a value.
  if (auto value = descriptor.type == ae::kBoolean ? booleanValue(descriptor) : std::nullopt) {
    return *value;
  }
  if (auto value = descriptor.type == ae::kInteger ? int32Value(descriptor) : std::nullopt) {
    return *value;
  }
  if (auto text = stringValue(descriptor)) {
    return text::truncateGraphemes(*text, kMaxDescriptorTextCharacters);
  }
  return Json{{"bytes", dataByteLength(descriptor)}, {"descriptorType", descriptor.type}};
}

}  // namespace qor
