#pragma once
// The ledger of the input the bridge sent through the core XTest devices, which every XTest
// client shares. The raw events those devices report are matched against it in order: an event
// counts as the bridge's only when it is the next one the bridge sent (same kind, same button or
// key, a motion to the same point) and the server reported it within `kLife` of its sending.
// How long the bridge took to read it does not count: a bridge kept busy for seconds still knows
// its own events when it reads them. Everything else
// counts as the user's: another program's XTest events, an event the bridge sent twice over, one
// that arrives out of order. A foreign event can take the place of one of ours only when it is
// identical and ours has not arrived yet; ours then arrives unmatched and counts as the user's,
// so the interleaving is never missed. Pure logic, no X connection.

#include <chrono>
#include <cstdint>
#include <deque>

namespace qor::platform {

enum class RawKind { motion, button, key };

struct RawInput {
  RawKind kind = RawKind::motion;
  std::uint32_t detail = 0;  // button or keycode; 0 for motion
  std::int32_t x = 0;        // root position of a motion
  std::int32_t y = 0;
};

class InputLedger {
 public:
  using Clock = std::chrono::steady_clock;
  // The server reports a raw event within milliseconds of carrying out the request; an entry
  // whose event was not among everything read this long after its sending was never reported
  // and must not stand in for a later event.
  static constexpr std::chrono::milliseconds kLife{1000};

  void sent(const RawInput& input, Clock::time_point when);
  // Whether a raw event of the XTest devices is one the bridge sent, consuming its entry.
  bool claim(const RawInput& input);
  // The bridge has read every event the server had reported by `when`: what it reads later was
  // reported after `when`.
  void drained(Clock::time_point when);
  std::size_t pending() const { return entries_.size(); }

 private:
  void dropExpired();

  struct Entry {
    RawInput input;
    Clock::time_point sentAt;
  };
  std::deque<Entry> entries_;
  Clock::time_point drainedAt_{};
};

}  // namespace qor::platform
