#pragma once
// An input descriptor as lines for the loop. Lines reach `onLines` on the loop thread whole,
// without their terminator ("\n" or "\r\n"), in input order, in batches of what one read
// brought; `onEnd` runs once after the last line, at end of input (or a read error).
//
// The loop thread reads the descriptor itself between rounds and while it waits idle, which
// saves a hand-over between threads on every request. A reader thread takes over whenever the
// loop thread has been busy for a moment (one piece of work that runs long), so the writer is
// never held up by a request being handled. The two read one at a time under a lock and hand
// their lines over in order.
//
// Lines longer than `longestLine` bytes keep only that many, so that a line without end cannot
// exhaust memory; the receiver refuses them by their length.

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/event_loop.h"

namespace qor::runtime {

class LineReader {
 public:
  using Lines = std::vector<std::string>;

  // How long the loop thread may be busy before the reader thread drains the input instead.
  static constexpr std::chrono::milliseconds kTakeOverAfter{1};

  LineReader(EventLoop& loop, int fd, std::size_t longestLine,
             std::function<void(const Lines&)> onLines, std::function<void()> onEnd);
  // Stops the reader thread. Work this reader posted must not run afterwards.
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Starts reading; call once, on the loop thread, before the loop runs.
  void start();

 private:
  void readerThread();
  // Waits until the loop thread has been busy for kTakeOverAfter; false when stopping.
  bool awaitTakeOver();
  // Reads while the loop thread stays busy; false when stopping or at the end of input.
  bool drainWhileBusy();
  // Reads what the descriptor has now and hands complete lines over. Called with mutex_ held.
  void readAvailable(bool onLoopThread);
  void split(std::string_view bytes, Lines& batch);
  void finishLine(Lines& batch);
  void deliver(Lines batch, bool ended, bool onLoopThread);
  // Reads without waiting: >0 bytes, 0 at the end, -1 with errno EAGAIN when nothing is there.
  ssize_t readNow();
  void armTakeOver();

  EventLoop& loop_;
  const int fd_;
  const std::size_t longestLine_;
  std::function<void(const Lines&)> onLines_;
  std::function<void()> onEnd_;

  std::mutex mutex_;  // reading and splitting: the descriptor, the buffer and the partial line
  std::string partial_;
  bool overlong_ = false;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  std::atomic<bool> ended_{false};

  bool pipeLike_ = false;  // a pipe or socket: reads can be asked not to wait

  // Loop thread only.
  std::optional<EventLoop::WatchId> watch_;
  bool armed_ = false;
  std::atomic<bool> expired_{false};  // set by the reader thread when the timer went off

  // Armed when the loop thread wakes up (unless still pending): it goes off at most
  // kTakeOverAfter into a busy stretch, and the reader thread then drains while the loop is busy.
  int timerFd_ = -1;
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace qor::runtime
