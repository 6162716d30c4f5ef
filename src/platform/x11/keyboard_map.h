#pragma once
// Which key to press for a keysym, in the core keyboard mapping that applications translate key
// events with. A keysym the mapping lacks is bound to a spare keycode (one without any symbol)
// for as long as it may still be needed: bound keysyms stay while typing goes on, because an
// application translates a key event with the mapping it reads when it gets to the event, which
// may be well after the event was sent. restoreSpares() empties them again. Main thread only.

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "platform/x11/key_symbols.h"
#include "platform/x11/x_server.h"

namespace qor::platform {

struct KeyStroke {
  std::uint8_t keycode = 0;
  bool shift = false;  // the keysym is the key's shifted symbol
};

class KeyboardMap {
 public:
  explicit KeyboardMap(XServer& x) : x_(x) {}

  // The key (and whether Shift goes with it) that types `keysym`; binds a spare keycode when the
  // mapping has none. Nothing when the mapping cannot be read or no keycode can be had.
  std::optional<KeyStroke> stroke(Keysym keysym);
  // Whether spare keycodes are bound now.
  bool holdsSpares() const { return !bound_.empty(); }
  // Gives every bound spare keycode its empty mapping back.
  void restoreSpares();

 private:
  bool refresh();
  std::optional<KeyStroke> find(Keysym keysym) const;
  std::optional<std::uint8_t> bindSpare(Keysym keysym);
  Keysym at(std::size_t keycodeIndex, std::size_t column) const;

  XServer& x_;
  std::optional<KeyboardMapping> mapping_;
  std::uint64_t seenChanges_ = 0;
  std::vector<std::uint8_t> spares_;  // keycodes without any symbol when first read
  std::deque<std::uint8_t> bound_;    // spares bound now, least recently used first
};

}  // namespace qor::platform
