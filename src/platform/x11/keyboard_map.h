#pragma once
// Which key to press for a keysym, in the core keyboard mapping that applications translate key
// events with. A keysym the mapping lacks is bound to a spare keycode (one without any symbol)
// for as long as it may still be needed: bound keysyms stay while typing goes on, because an
// application translates a key event with the mapping it reads when it gets to the event, which
// may be well after the event was sent. When every spare is bound, the least recently used
// binding goes. Applications learn of a change in their own time, and nothing tells when they
// have: `settle` waits long enough for them to have taken up a change (and, before a binding
// is replaced, to have read the key events sent with it). restoreSpares() empties the spares
// again. Main thread only.

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <utility>
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
  KeyboardMap(XServer& x, std::function<void()> settle) : x_(x), settle_(std::move(settle)) {}

  // Binds every keysym of `keysyms` the mapping lacks, as far as spare keycodes go, all before
  // the first key is pressed, so that a whole text costs one wait. Returns whether the mapping
  // changed; the caller then waits as `settle` does before the first key is pressed.
  bool prepare(const std::vector<Keysym>& keysyms);
  // The key (and whether Shift goes with it) that types `keysym`; binds a spare keycode when the
  // mapping has none, and then returns once applications have had the time to take it up.
  // Nothing when the mapping cannot be read or no keycode can be had.
  std::optional<KeyStroke> stroke(Keysym keysym);
  // Whether spare keycodes are bound now.
  bool holdsSpares() const { return !bound_.empty(); }
  // Gives every bound spare keycode its empty mapping back.
  void restoreSpares();

 private:
  bool refresh();
  std::optional<KeyStroke> find(Keysym keysym) const;
  void touch(std::uint8_t keycode);
  // Puts `keysym` on a spare keycode in the local copy of the mapping, leaving the keycodes of
  // `kept` alone; apply() sends the change.
  std::optional<std::uint8_t> claimSpare(Keysym keysym, const std::vector<std::uint8_t>& kept,
                                         bool& replaced);
  // Sends the local copy's keysyms of `keycodes` to the server.
  bool apply(std::vector<std::uint8_t> keycodes);
  bool emptyAt(std::size_t keycodeIndex) const;
  Keysym at(std::size_t keycodeIndex, std::size_t column) const;
  std::vector<std::uint32_t>::iterator row(std::uint8_t keycode);

  XServer& x_;
  std::function<void()> settle_;
  std::optional<KeyboardMapping> mapping_;
  std::uint64_t seenChanges_ = 0;
  std::vector<std::uint8_t> spares_;  // keycodes without any symbol when first read
  std::deque<std::uint8_t> bound_;    // spares bound now, least recently used first
};

}  // namespace qor::platform
