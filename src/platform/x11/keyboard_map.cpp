#include "platform/x11/keyboard_map.h"

#include <algorithm>

namespace qor::platform {

Keysym KeyboardMap::at(std::size_t keycodeIndex, std::size_t column) const {
  std::size_t index = keycodeIndex * mapping_->keysymsPerKeycode + column;
  return index < mapping_->keysyms.size() ? mapping_->keysyms[index] : 0;
}

// Reads the mapping on first use and again whenever the server announced a change (made by the
// user or by this map). The spare keycodes are those without any symbol at first sight.
bool KeyboardMap::refresh() {
  if (mapping_ && seenChanges_ == x_.keyboardMappingChanges()) {
    return true;
  }
  seenChanges_ = x_.keyboardMappingChanges();
  std::optional<KeyboardMapping> fresh = x_.keyboardMapping();
  if (!fresh || fresh->keysymsPerKeycode == 0) {
    return false;
  }
  bool first = !mapping_;
  mapping_ = std::move(fresh);
  if (first) {
    std::size_t keycodes = mapping_->keysyms.size() / mapping_->keysymsPerKeycode;
    // From the top: low keycodes are where keyboards have their real keys.
    for (std::size_t k = keycodes; k-- > 0;) {
      bool empty = true;
      for (std::size_t column = 0; column < mapping_->keysymsPerKeycode; ++column) {
        empty = empty && at(k, column) == 0;
      }
      if (empty) {
        spares_.push_back(static_cast<std::uint8_t>(mapping_->firstKeycode + k));
      }
    }
  }
  return true;
}

// The plain symbol of any key first, then the shifted one: 'a' is keycode 38 alone, 'A' the
// same key with Shift.
std::optional<KeyStroke> KeyboardMap::find(Keysym keysym) const {
  std::size_t keycodes = mapping_->keysyms.size() / mapping_->keysymsPerKeycode;
  for (std::size_t column = 0; column < std::min<std::size_t>(2, mapping_->keysymsPerKeycode);
       ++column) {
    for (std::size_t k = 0; k < keycodes; ++k) {
      if (at(k, column) == keysym) {
        return KeyStroke{static_cast<std::uint8_t>(mapping_->firstKeycode + k), column == 1};
      }
    }
  }
  return std::nullopt;
}

std::optional<std::uint8_t> KeyboardMap::bindSpare(Keysym keysym) {
  std::optional<std::uint8_t> keycode;
  for (std::uint8_t spare : spares_) {
    // A key the user's keyboard layout has given symbols since is no longer spare.
    std::size_t index = spare - mapping_->firstKeycode;
    bool empty = true;
    for (std::size_t column = 0; column < mapping_->keysymsPerKeycode; ++column) {
      empty = empty && at(index, column) == 0;
    }
    if (empty && std::find(bound_.begin(), bound_.end(), spare) == bound_.end()) {
      keycode = spare;
      break;
    }
  }
  if (!keycode) {
    if (bound_.empty()) {
      return std::nullopt;  // the keyboard has no key without a symbol
    }
    keycode = bound_.front();  // the least recently used binding goes
    bound_.pop_front();
  }
  // The keysym on both levels: given alone, the server would put the lower-case form of a
  // letter on the first level and type Æ as æ.
  std::vector<std::uint32_t> keysyms(mapping_->keysymsPerKeycode, 0);
  std::fill_n(keysyms.begin(), std::min<std::size_t>(2, keysyms.size()), keysym);
  if (!x_.setKeysyms(*keycode, keysyms)) {
    return std::nullopt;
  }
  bound_.push_back(*keycode);
  std::size_t index = *keycode - mapping_->firstKeycode;
  std::copy(
      keysyms.begin(), keysyms.end(),
      mapping_->keysyms.begin() + static_cast<std::ptrdiff_t>(index * mapping_->keysymsPerKeycode));
  return keycode;
}

std::optional<KeyStroke> KeyboardMap::stroke(Keysym keysym) {
  if (!refresh()) {
    return std::nullopt;
  }
  if (std::optional<KeyStroke> found = find(keysym)) {
    auto used = std::find(bound_.begin(), bound_.end(), found->keycode);
    if (used != bound_.end()) {  // most recently used now
      bound_.erase(used);
      bound_.push_back(found->keycode);
    }
    return found;
  }
  std::optional<std::uint8_t> spare = bindSpare(keysym);
  if (!spare) {
    return std::nullopt;
  }
  return KeyStroke{*spare, false};
}

void KeyboardMap::restoreSpares() {
  if (!mapping_) {
    bound_.clear();
    return;
  }
  std::vector<std::uint32_t> empty(mapping_->keysymsPerKeycode, 0);
  for (std::uint8_t keycode : bound_) {
    x_.setKeysyms(keycode, empty);
    std::size_t index = keycode - mapping_->firstKeycode;
    std::fill_n(mapping_->keysyms.begin() +
                    static_cast<std::ptrdiff_t>(index * mapping_->keysymsPerKeycode),
                mapping_->keysymsPerKeycode, 0);
  }
  bound_.clear();
}

}  // namespace qor::platform
