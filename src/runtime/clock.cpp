#include "runtime/clock.h"

namespace qor::runtime {

// A fixed, recognisable starting point keeps test output reproducible.
VirtualClock::VirtualClock()
    : now_(MonoTime{} + std::chrono::hours(1)),
      wall_(WallTime{} + std::chrono::seconds(1'800'000'000)) {}

void VirtualClock::advance(Duration by) {
  now_ += by;
  wall_ += std::chrono::duration_cast<WallTime::duration>(by);
}

}  // namespace qor::runtime
