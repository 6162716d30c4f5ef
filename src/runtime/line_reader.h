#pragma once
// An input descriptor as lines for the loop. Each line reaches `onLine` on the loop thread whole,
// without its terminator ("\n" or "\r\n"), in input order; `onEnd` runs once after the last line,
// at end of input (or a read error). A line's text is valid only during the call.
//
// The loop thread reads the descriptor itself between rounds and while it waits idle (with a
// blocking read when the descriptor is all it waits for), and hands what it read to `onLine` at
// once: no hand-over between threads and no extra round of the loop on the way of a request. A
// reader thread takes over whenever the loop thread has not looked at its descriptors for
// kTakeOverAfter (one piece of work that runs long), so the writer is never held up by a request
// being handled. The two read one at a time, and lines the reader thread read reach `onLine`
// before anything the loop thread reads after them.
//
// Lines longer than `longestLine` bytes keep only that many, so that a line without end cannot
// exhaust memory; the receiver refuses them by their length.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/event_loop.h"

namespace qor::runtime {

class LineReader {
 public:
  // How long the loop thread may go without reading before the reader thread reads instead.
  static constexpr std::chrono::milliseconds kTakeOverAfter{1};

  LineReader(EventLoop& loop, int fd, std::size_t longestLine,
             std::function<void(std::string_view line)> onLine, std::function<void()> onEnd);
  // Stops the reader thread. Work this reader posted must not run afterwards.
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Starts reading; call once, on the loop thread, before the loop runs.
  void start();

 private:
  // Lines read together, one after the other in one string, and whether the input ended after
  // them. Reused by the loop thread, so that reading a request allocates nothing.
  struct Batch {
    std::string text;
    std::vector<std::size_t> ends;  // where each line ends in `text`
    bool ended = false;

    bool empty() const { return ends.empty() && !ended; }
    void clear();
  };

  // Loop thread.
  bool waitByReading();
  void readOnLoopThread();
  void deliver(const Batch& batch);
  void unparkFromLoop();

  // Reader thread: sleeps until the loop may be held up, and reads while it is.
  void readerThread();
  bool awaitTick();  // false when stopping
  void park(std::chrono::steady_clock::time_point seenCheck);
  bool drainWhileHeldUp(std::chrono::steady_clock::time_point heldSince);
  void armTimer(std::chrono::steady_clock::time_point first);
  void disarmTimer();

  // Either thread, with mutex_ held.
  void readAvailable(Batch& batch);
  void split(std::string_view bytes, Batch& batch);
  void addLine(std::string_view line, bool overlong, Batch& batch);
  void finishPartial(Batch& batch);
  void endOfInput(Batch& batch);
  // Reads without waiting: >0 bytes, 0 at the end, -1 with errno EAGAIN when nothing is there.
  ssize_t readNow();

  EventLoop& loop_;
  const int fd_;
  const std::size_t longestLine_;
  std::function<void(std::string_view)> onLine_;
  std::function<void()> onEnd_;

  // Reading and splitting: the descriptor, the buffer and the partial line. The loop thread's
  // blocking read is the one read made without it: `loopReading_` keeps the other thread off.
  std::mutex mutex_;
  std::string partial_;
  bool overlong_ = false;
  bool loopReading_ = false;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  bool pipeLike_ = false;  // a pipe or socket: reads can be asked not to wait
  std::atomic<bool> ended_{false};
  // Batches the reader thread posted that the loop has not delivered yet: what the loop thread
  // reads meanwhile must wait behind them.
  std::atomic<std::size_t> handedOver_{0};

  // Loop thread only.
  std::optional<EventLoop::WatchId> watch_;
  Batch loopBatch_;
  bool readWhileWaiting_ = false;  // loopBatch_ holds what the wait read, for the ready callback
  bool readsMayBlock_ = true;      // false once a read found the descriptor non-blocking

  // The reader thread's timer ticks every kTakeOverAfter while the loop is active, and is
  // disarmed (parked) once a whole tick passed with the loop idle; the loop's next wake-up arms
  // it again. Either thread may end the parking; whoever clears `parked_` arms the timer.
  std::atomic<bool> parked_{false};
  std::chrono::steady_clock::time_point lastSeenCheck_{};  // reader thread only
  int timerFd_ = -1;
  int stopFd_ = -1;
  std::thread thread_;
};

}  // namespace qor::runtime
