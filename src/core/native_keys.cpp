#include "core/native_keys.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "core/native_failure.h"

namespace qor {

namespace {

constexpr std::int64_t kHighestKeyCode = 127;

NativeFailure unknownKey() {
  return invalidArgument("Unknown key; use a named key or macOS virtual key code 0...127");
}

// Every key name is ASCII, so only ASCII letters are folded: a name that needs Unicode case
// mapping to reach the table (such as the Kelvin sign for "k") is refused rather than guessed.
std::optional<std::uint16_t> codeFromName(std::string_view name) {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  const auto& table = NativeKeys::named();
  const auto found = table.find(key);
  if (found == table.end()) {
    return std::nullopt;
  }
  return found->second;
}

std::optional<std::uint16_t> codeFromNumber(const Json& value) {
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(kHighestKeyCode)) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(number);
  }
  if (value.is_number_integer()) {
    const auto number = value.get<std::int64_t>();
    if (number < 0 || number > kHighestKeyCode) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(number);
  }
  // A double must be integral (it equals itself rounded half away from zero); NaN never does.
  const double number = value.get<double>();
  if (std::round(number) != number || number < 0 || number > kHighestKeyCode) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(number);
}

}  // namespace

const std::map<std::string, std::uint16_t, std::less<>>& NativeKeys::named() {
  // clang-format off
  static const std::map<std::string, std::uint16_t, std::less<>> table = {
      // Editing and navigation.
      {"enter", 36}, {"return", 36}, {"tab", 48}, {"space", 49}, {"backspace", 51},
      {"escape", 53}, {"delete", 117}, {"home", 115}, {"end", 119}, {"pageup", 116},
      {"pagedown", 121}, {"left", 123}, {"right", 124}, {"down", 125}, {"up", 126},
      // Letters.
      {"a", 0}, {"s", 1}, {"d", 2}, {"f", 3}, {"h", 4}, {"g", 5}, {"z", 6}, {"x", 7}, {"c", 8},
      {"v", 9}, {"b", 11}, {"q", 12}, {"w", 13}, {"e", 14}, {"r", 15}, {"y", 16}, {"t", 17},
      {"o", 31}, {"u", 32}, {"i", 34}, {"p", 35}, {"l", 37}, {"j", 38}, {"k", 40}, {"n", 45},
      {"m", 46},
      // Digits of the main row.
      {"1", 18}, {"2", 19}, {"3", 20}, {"4", 21}, {"6", 22}, {"5", 23}, {"9", 25}, {"7", 26},
      {"8", 28}, {"0", 29},
      // Function keys.
      {"f1", 122}, {"f2", 120}, {"f3", 99}, {"f4", 118}, {"f5", 96}, {"f6", 97}, {"f7", 98},
      {"f8", 100}, {"f9", 101}, {"f10", 109}, {"f11", 103}, {"f12", 111},
  };
  // clang-format on
  return table;
}

std::uint16_t NativeKeys::code(const Json* value) {
  std::optional<std::uint16_t> result;
  if (value != nullptr && value->is_string()) {
    result = codeFromName(value->get_ref<const std::string&>());
  } else if (value != nullptr && value->is_number()) {  // never true for booleans
    result = codeFromNumber(*value);
  }
  if (!result) {
    throw unknownKey();
  }
  return *result;
}

std::uint64_t NativeKeys::flags(const std::vector<std::string>& names) {
  static constexpr std::array<std::pair<std::string_view, std::uint64_t>, 5> kModifiers = {{
      {"command", kCommandFlag},
      {"shift", kShiftFlag},
      {"option", kAlternateFlag},
      {"alt", kAlternateFlag},
      {"control", kControlFlag},
  }};
  std::uint64_t result = 0;
  for (const std::string& name : names) {
    const auto* found = std::find_if(kModifiers.begin(), kModifiers.end(),
                                     [&](const auto& modifier) { return modifier.first == name; });
    if (found == kModifiers.end()) {
      throw invalidArgument("Unknown key modifier: " + name);
    }
    result |= found->second;
  }
  return result;
}

}  // namespace qor
