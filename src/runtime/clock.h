#pragma once
// One clock for the whole process: monotonic time for deadlines and sleeps, wall time for expiry
// dates that go out on the wire. Tests use the virtual clock and move it by hand.

#include <chrono>

namespace qor::runtime {

using Duration = std::chrono::nanoseconds;
using MonoTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonoTime now() const = 0;
  virtual WallTime wallNow() const = 0;
};

class RealClock final : public Clock {
 public:
  MonoTime now() const override { return std::chrono::steady_clock::now(); }
  WallTime wallNow() const override { return std::chrono::system_clock::now(); }
};

// Stands still until advanced; both times move together.
class VirtualClock final : public Clock {
 public:
  VirtualClock();
  MonoTime now() const override { return now_; }
  WallTime wallNow() const override { return wall_; }
  void advance(Duration by);

 private:
  MonoTime now_;
  WallTime wall_;
};

}  // namespace qor::runtime
