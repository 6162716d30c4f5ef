#include "platform/x11/keyboard_map.h"

#include <algorithm>
#include <iterator>

namespace qor::platform {

Keysym KeyboardMap::at(std::size_t keycodeIndex, std::size_t column) const {
  std::size_t index = keycodeIndex * mapping_->keysymsPerKeycode + column;
  return index < mapping_->keysyms.size() ? mapping_->keysyms[index] : 0;
}

bool KeyboardMap::emptyAt(std::size_t keycodeIndex) const {
  for (std::size_t column = 0; column < mapping_->keysymsPerKeycode; ++column) {
    if (at(keycodeIndex, column) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<std::uint32_t>::iterator KeyboardMap::row(std::uint8_t keycode) {
  std::size_t index = keycode - mapping_->firstKeycode;
  return mapping_->keysyms.begin() +
         static_cast<std::ptrdiff_t>(index * mapping_->keysymsPerKeycode);
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
  mapping_ = std::move(fresh);
  if (spares_.empty()) {
    std::size_t keycodes = mapping_->keysyms.size() / mapping_->keysymsPerKeycode;
    // From the top: low keycodes are where keyboards have their real keys.
    for (std::size_t k = keycodes; k-- > 0;) {
      if (emptyAt(k)) {
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

void KeyboardMap::touch(std::uint8_t keycode) {
  auto used = std::find(bound_.begin(), bound_.end(), keycode);
  if (used != bound_.end()) {  // most recently used now
    bound_.erase(used);
    bound_.push_back(keycode);
  }
}

std::optional<std::uint8_t> KeyboardMap::claimSpare(Keysym keysym,
                                                    const std::vector<std::uint8_t>& kept,
                                                    bool& replaced) {
  std::optional<std::uint8_t> keycode;
  for (std::uint8_t spare : spares_) {
    // A key the user's keyboard layout has given symbols since is no longer spare.
    if (emptyAt(spare - mapping_->firstKeycode) &&
        std::find(bound_.begin(), bound_.end(), spare) == bound_.end()) {
      keycode = spare;
      break;
    }
  }
  if (!keycode) {
    auto evictable = std::find_if(bound_.begin(), bound_.end(), [&](std::uint8_t bound) {
      return std::find(kept.begin(), kept.end(), bound) == kept.end();
    });
    if (evictable == bound_.end()) {
      return std::nullopt;  // no key without a symbol, or every one is needed
    }
    keycode = *evictable;  // the least recently used binding goes
    bound_.erase(evictable);
    replaced = true;
  }
  // The keysym on both levels: given alone, the server would put the lower-case form of a
  // letter on the first level and type Æ as æ.
  auto keysyms = row(*keycode);
  std::fill_n(keysyms, mapping_->keysymsPerKeycode, 0);
  std::fill_n(keysyms, std::min<std::size_t>(2, mapping_->keysymsPerKeycode), keysym);
  bound_.push_back(*keycode);
  return keycode;
}

// One change per run of neighbouring keycodes, all sent before the caller waits once for
// applications to take them up. Keys between the runs are left alone: rewriting a real key's
// core symbols would replace what the layout gave it beyond them.
bool KeyboardMap::apply(std::vector<std::uint8_t> keycodes) {
  std::sort(keycodes.begin(), keycodes.end());
  bool applied = true;
  for (auto run = keycodes.begin(); run != keycodes.end();) {
    auto end = std::next(run);
    while (end != keycodes.end() && *end == *std::prev(end) + 1) {
      ++end;
    }
    std::vector<std::uint32_t> keysyms(row(*run),
                                       row(*std::prev(end)) + mapping_->keysymsPerKeycode);
    applied = x_.setKeysyms(*run, mapping_->keysymsPerKeycode, keysyms) && applied;
    run = end;
  }
  if (applied) {
    return true;
  }
  // What the server holds now is unknown: read it again before the next stroke.
  for (std::uint8_t keycode : keycodes) {
    std::erase(bound_, keycode);
  }
  mapping_ = x_.keyboardMapping();
  return false;
}

bool KeyboardMap::prepare(const std::vector<Keysym>& keysyms) {
  if (!refresh()) {
    return false;
  }
  std::vector<std::uint8_t> kept;
  std::vector<std::uint8_t> changed;
  bool replaced = false;
  for (Keysym keysym : keysyms) {
    if (std::optional<KeyStroke> found = find(keysym)) {
      touch(found->keycode);
      kept.push_back(found->keycode);
    } else if (std::optional<std::uint8_t> spare = claimSpare(keysym, kept, replaced)) {
      kept.push_back(*spare);
      changed.push_back(*spare);
    }
  }
  if (replaced) {
    settle_();  // the replaced bindings may have been pressed a moment ago
  }
  return !changed.empty() && apply(changed);
}

std::optional<KeyStroke> KeyboardMap::stroke(Keysym keysym) {
  if (!refresh()) {
    return std::nullopt;
  }
  if (std::optional<KeyStroke> found = find(keysym)) {
    touch(found->keycode);
    return found;
  }
  bool replaced = false;
  std::optional<std::uint8_t> spare = claimSpare(keysym, {}, replaced);
  if (!spare) {
    return std::nullopt;
  }
  if (replaced) {
    settle_();  // the replaced binding may have been pressed a moment ago
  }
  if (!apply({*spare})) {
    return std::nullopt;
  }
  settle_();
  return KeyStroke{*spare, false};
}

void KeyboardMap::restoreSpares() {
  if (!bound_.empty() && refresh()) {
    std::vector<std::uint8_t> keycodes(bound_.begin(), bound_.end());
    for (std::uint8_t keycode : keycodes) {
      std::fill_n(row(keycode), mapping_->keysymsPerKeycode, 0);
    }
    apply(keycodes);
  }
  bound_.clear();
}

}  // namespace qor::platform
