#include "platform/x11/key_symbols.h"

#include <array>
#include <cstdlib>

#include "core/native_keys.h"

namespace qor::platform {
namespace {

constexpr Keysym kNone = 0;
constexpr Keysym kReturn = 0xff0d;
constexpr Keysym kTab = 0xff09;
constexpr Keysym kBackSpace = 0xff08;
constexpr Keysym kEscape = 0xff1b;
constexpr Keysym kDelete = 0xffff;

constexpr Keysym function(int n) {
  return 0xffbe + static_cast<Keysym>(n - 1);  // F1 ... F35 are consecutive
}
constexpr Keysym keypad(int digit) {
  return 0xffb0 + static_cast<Keysym>(digit);
}

// Indexed by macOS virtual key code; kNone where a PC keyboard has no such key.
constexpr std::array<Keysym, 128> kMacKeys = {
    'a',          's',          'd',          'f',          'h',          'g',
    'z',          'x',          'c',          'v',  // 0-9
    kNone,        'b',          'q',          'w',          'e',          'r',
    'y',          't',          '1',          '2',  // 10-19
    '3',          '4',          '6',          '5',          '=',          '9',
    '7',          '-',          '8',          '0',  // 20-29
    ']',          'o',          'u',          '[',          'i',          'p',
    kReturn,      'l',          'j',          '\'',  // 30-39
    'k',          ';',          '\\',         ',',          '/',          'n',
    'm',          '.',          kTab,         ' ',  // 40-49
    '`',          kBackSpace,   kNone,        kEscape,      0xffec,       0xffeb,
    kShiftL,      0xffe5,     // 50-57
    kAltL,        kControlL,  // 58-59
    0xffe2,       0xffea,       0xffe4,       kNone,        function(17), 0xffae,
    kNone,        0xffaa,  // 60-67
    kNone,        0xffab,  // 68-69
    kNone,        0xff0b,       0x1008ff13,   0x1008ff11,   0x1008ff12,   0xffaf,
    0xff8d,                                                                           // 70-76
    kNone,        0xffad,       function(18),                                         // 77-79
    function(19), 0xffbd,       keypad(0),    keypad(1),    keypad(2),    keypad(3),  // 80-85
    keypad(4),    keypad(5),    keypad(6),    keypad(7),                              // 86-89
    function(20), keypad(8),    keypad(9),    kNone,        kNone,        kNone,
    function(5),                                                                         // 90-96
    function(6),  function(7),  function(3),                                             // 97-99
    function(8),  function(9),  kNone,        function(11), kNone,        function(13),  // 100-105
    function(16), function(14), kNone,        function(10),                              // 106-109
    0xff67,       function(12), kNone,        function(15), 0xff63,       0xff50,
    0xff55,                              // 110-116
    kDelete,      function(4),  0xff57,  // 117-119
    function(2),  0xff56,       function(1),  0xff51,       0xff53,       0xff54,
    0xff52,  // 120-126
    kNone,   // 127
};

Keysym keysymForCodePoint(char32_t c) {
  switch (c) {
    case U'\t':
      return kTab;
    case U'\n':
    case U'\r':
      return kReturn;
    case U'\b':
      return kBackSpace;
    case 0x1b:
      return kEscape;
    case 0x7f:
      return kDelete;
    default:
      break;
  }
  if ((c >= 0x20 && c <= 0x7e) || (c >= 0xa0 && c <= 0xff)) {
    return static_cast<Keysym>(c);  // Latin-1 keysyms are the code points themselves
  }
  return 0x01000000 | static_cast<Keysym>(c);
}

}  // namespace

std::optional<Keysym> keysymForMacKey(std::uint16_t keyCode) {
  if (keyCode >= kMacKeys.size() || kMacKeys[keyCode] == kNone) {
    return std::nullopt;
  }
  return kMacKeys[keyCode];
}

std::vector<Keysym> modifierKeysyms(std::uint64_t flags) {
  std::vector<Keysym> keys;
  if (flags & (NativeKeys::kControlFlag | NativeKeys::kCommandFlag)) {
    keys.push_back(kControlL);
  }
  if (flags & NativeKeys::kAlternateFlag) {
    keys.push_back(kAltL);
  }
  if (flags & NativeKeys::kShiftFlag) {
    keys.push_back(kShiftL);
  }
  return keys;
}

std::vector<Keysym> keysymsForText(const std::u16string& units) {
  std::vector<Keysym> keysyms;
  char32_t previous = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = units[i];
    if (c >= 0xd800 && c <= 0xdbff && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
        units[i + 1] <= 0xdfff) {
      c = 0x10000 + ((c - 0xd800) << 10) + (units[i + 1] - 0xdc00);
      ++i;
    } else if (c >= 0xd800 && c <= 0xdfff) {
      continue;  // half a pair types nothing
    }
    if (!(c == U'\n' && previous == U'\r')) {
      keysyms.push_back(keysymForCodePoint(c));
    }
    previous = c;
  }
  return keysyms;
}

std::vector<WheelClicks> wheelClicks(std::int32_t deltaY, std::int32_t deltaX) {
  auto notches = [](std::int32_t pixels) {
    long magnitude = std::labs(static_cast<long>(pixels));
    long rounded = (magnitude + kPixelsPerNotch / 2) / kPixelsPerNotch;
    return static_cast<int>(rounded > 0 ? rounded : 1);
  };
  std::vector<WheelClicks> clicks;
  if (deltaY != 0) {
    clicks.push_back({static_cast<std::uint8_t>(deltaY > 0 ? 4 : 5), notches(deltaY)});
  }
  if (deltaX != 0) {
    clicks.push_back({static_cast<std::uint8_t>(deltaX > 0 ? 6 : 7), notches(deltaX)});
  }
  return clicks;
}

}  // namespace qor::platform
