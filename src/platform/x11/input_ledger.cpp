#include "platform/x11/input_ledger.h"

#include <algorithm>

namespace qor::platform {
namespace {

bool same(const RawInput& a, const RawInput& b) {
  if (a.kind != b.kind) {
    return false;
  }
  return a.kind == RawKind::motion ? a.x == b.x && a.y == b.y : a.detail == b.detail;
}

}  // namespace

void InputLedger::sent(const RawInput& input, Clock::time_point when) {
  dropExpired();
  entries_.push_back(Entry{input, when});
}

void InputLedger::drained(Clock::time_point when) {
  drainedAt_ = std::max(drainedAt_, when);
}

// Only the time of the last complete read counts: an event read later may have been reported
// at any moment after it, so an entry is dropped only when everything read since its sending
// was read too late for its event to be among it.
void InputLedger::dropExpired() {
  while (!entries_.empty() && drainedAt_ - entries_.front().sentAt > kLife) {
    entries_.pop_front();
  }
}

// A motion to where the pointer already is may go unreported, so motions the event skips are
// dropped; a skipped press never is, and the event is then not ours.
bool InputLedger::claim(const RawInput& input) {
  dropExpired();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (same(entries_[i].input, input)) {
      entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      return true;
    }
    if (entries_[i].input.kind != RawKind::motion) {
      return false;
    }
  }
  return false;
}

}  // namespace qor::platform
