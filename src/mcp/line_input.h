#pragma once
// A descriptor read as lines on the loop's thread: one read each time the loop finds it readable,
// each complete line handed on without its terminator ("\n" or "\r\n"), then the end.
//
// qor-mcp reads its client and its bridge this way. Its loop never holds on to a message for
// long, so it needs no reader thread: every message costs one wake-up and one read.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "runtime/event_loop.h"

namespace qor::mcp {

// The other direction: writes all of `bytes`, retrying short writes; false when the reader is
// gone.
bool writeAll(int fd, std::string_view bytes);

class LineInput {
 public:
  // Lines longer than `longestLine` bytes keep only longestLine + 1 of them, so that a line
  // without end cannot exhaust memory and the receiver can still refuse it by its length.
  LineInput(runtime::EventLoop& loop, int fd, std::size_t longestLine,
            std::function<void(std::string_view line)> onLine, std::function<void()> onEnd);
  ~LineInput();
  LineInput(const LineInput&) = delete;
  LineInput& operator=(const LineInput&) = delete;

 private:
  void readable();
  void split(std::string_view bytes);
  void stop();

  runtime::EventLoop& loop_;
  const int fd_;
  const std::size_t longestLine_;
  std::function<void(std::string_view)> onLine_;
  std::function<void()> onEnd_;
  std::optional<runtime::EventLoop::WatchId> watch_;
  std::string partial_;
  bool nonBlocking_ = false;
};

}  // namespace qor::mcp
