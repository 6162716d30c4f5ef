#include "platform/x11/input_ledger.h"

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
  dropExpired(when);
  entries_.push_back(Entry{input, when});
}

void InputLedger::dropExpired(Clock::time_point now) {
  while (!entries_.empty() && now - entries_.front().sentAt > kLife) {
    entries_.pop_front();
  }
}

// A motion to where the pointer already is may go unreported, so motions the event skips are
// dropped; a skipped press never is, and the event is then not ours.
bool InputLedger::claim(const RawInput& input, Clock::time_point when) {
  dropExpired(when);
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
