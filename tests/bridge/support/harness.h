#pragma once
// Drives a NativeRuntime in process: simulated desktop, virtual clock, responses captured as
// parsed lines. Nothing here sleeps; time moves only when a test advances it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/native_runtime.h"
#include "core/json.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::testing {

// A fresh private temporary directory, removed with everything in it at the end of the test.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Moves `clock` forward by `by`, firing every timer of `loop` in deadline order on the way and
// running what becomes ready.
void advanceVirtualTime(runtime::VirtualClock& clock, runtime::EventLoop& loop,
                        runtime::Duration by);

class Harness {
 public:
  Harness();

  // Hands one line to receive(), as the reader would, and runs everything that becomes ready
  // without moving the clock.
  void sendLine(std::string_view line);
  void send(const Json& request);
  // Sends {"id": id, "method": method, "params": params}.
  void request(const Json& id, const std::string& method, const Json& params = Json::object());
  void endOfInput();

  // Runs ready work without moving the clock.
  void settle();
  // Moves the clock forward by `by`, firing every timer in deadline order on the way.
  void advance(runtime::Duration by);
  // Moves the clock until nothing is scheduled any more (operations finish their sleeps).
  void drain();

  // Responses written so far (and forgotten by this call), parsed, plus their raw lines.
  std::vector<Json> takeResponses();
  const std::vector<std::string>& rawLines() const { return lines_; }
  // Takes every pending response and returns the one with this id; fails the test unless there
  // is exactly one.
  Json responseFor(const Json& id);

  runtime::VirtualClock clock;
  runtime::EventLoop loop{clock};
  sim::SimDesktop desktop{loop};
  TemporaryDirectory temporary;
  std::optional<int> exitStatus;
  NativeRuntime runtime;

 private:
  std::vector<std::string> lines_;
  std::size_t taken_ = 0;
};

}  // namespace qor::testing
