#pragma once
// The main loop: posted closures in FIFO order, timers at absolute deadlines, file-descriptor
// watches, and a wake-up that other threads use to hand work to the main thread.
//
// Every method except postFromAnyThread(), isWaiting() and descriptorsCheckedAt() must be called
// on the thread that runs the loop.

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "runtime/clock.h"

namespace qor::runtime {

class EventLoop {
 public:
  using Work = std::function<void()>;
  using TimerId = std::uint64_t;
  using WatchId = std::uint64_t;

  explicit EventLoop(Clock& clock);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  Clock& clock() const { return clock_; }

  // Runs `work` after everything already queued.
  void post(Work work);
  // Thread-safe; the work runs on the loop thread in the order it was handed over. A thread may
  // hand work over at any moment while a HandOverSource lives; without one, only when it knows
  // the loop is not blocked in a watch's own read (see watchFd), or the work waits until that
  // descriptor is ready.
  void postFromAnyThread(Work work);

  // Held by whatever may hand work over from another thread while the loop waits idle (a
  // Completion does). While one exists the loop waits only in poll(), which the hand-over wakes.
  // Made on the loop thread; may be destroyed on any thread.
  class HandOverSource {
   public:
    explicit HandOverSource(EventLoop& loop) : loop_(loop) { loop_.handOverSources_.fetch_add(1); }
    ~HandOverSource() { loop_.handOverSources_.fetch_sub(1); }
    HandOverSource(const HandOverSource&) = delete;
    HandOverSource& operator=(const HandOverSource&) = delete;

   private:
    EventLoop& loop_;
  };

  // Moves work handed over so far to the end of the queue now, so that what the caller posts next
  // runs after it.
  void adoptHandedOverWork() { takeForeignWork(); }

  // Fires once when the clock reaches `deadline`; timers with equal deadlines fire in the order
  // they were added. A timer added while timers fire waits for the next round, even when it is
  // already due, so a task that sleeps for zero time cannot starve the queue.
  TimerId addTimer(MonoTime deadline, Work fire);
  void cancelTimer(TimerId id);
  std::optional<MonoTime> nextTimerDeadline() const;

  // Calls `ready` with the poll revents whenever `fd` is ready for `events` (POLLIN, ...).
  //
  // With `waitByReading` the owner can also wait for the descriptor by reading it. When run()
  // would block for this watch alone (nothing queued, no timer, no other watch, no
  // HandOverSource), it calls `waitByReading` instead of poll(), and then `ready` as if poll() had
  // found the descriptor readable: one system call where poll() and a read would be two. It blocks
  // in its own read, must not add or remove watches, and returns false without waiting when it
  // cannot wait that way now; the loop then polls.
  WatchId watchFd(int fd, short events, std::function<void(short)> ready,
                  std::function<bool()> waitByReading = {});
  void unwatchFd(WatchId id);

  // Blocks in poll() between rounds; returns after quit().
  void run();
  // Thread-safe: whether run() is blocked waiting for a descriptor, a timer or handed-over work.
  bool isWaiting() const { return waiting_.load(); }
  // Thread-safe: when the loop last finished looking at its descriptors, on the real monotonic
  // clock whatever clock the loop runs on. Together with isWaiting() it tells another thread how
  // long the loop has been held up by the work it is running.
  std::chrono::steady_clock::time_point descriptorsCheckedAt() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(checkedAt_.load()));
  }
  // Run on the loop thread each time just before run() blocks (work posted then runs first), and
  // each time it has woken up again, before it handles anything it woke up for.
  void addBeforeWait(Work hook) { beforeWait_.push_back(std::move(hook)); }
  void addAfterWait(Work hook) { afterWait_.push_back(std::move(hook)); }
  void quit() { quit_ = true; }

  // Runs queued work, cross-thread work, ready descriptors and due timers until none is left,
  // without blocking. Returns how many items ran. Tests drive a virtual clock with this.
  std::size_t runUntilIdle();

 private:
  struct Timer {
    TimerId id;
    Work fire;
  };
  using Timers = std::multimap<MonoTime, Timer>;
  struct Watch {
    int fd;
    short events;
    std::function<void(short)> ready;
    std::function<bool()> waitByReading;
  };

  std::size_t runQueued();
  std::size_t fireDueTimers();
  std::size_t takeForeignWork();
  std::size_t pollOnce(int timeoutMs);
  void waitForEvents(int timeoutMs);  // poll() over the wake-up and every watch
  std::size_t handleEvents();         // takes handed-over work, calls ready watches
  // Lets the one watch there is wait by reading; the id of the watch when it did.
  std::optional<WatchId> waitByReading();
  bool callReady(WatchId id, short revents);  // false when the watch is gone
  void stampCheck();
  int pollTimeoutMs() const;

  Clock& clock_;
  std::deque<Work> queue_;
  Timers timers_;
  std::unordered_map<TimerId, Timers::iterator> timerIndex_;  // cancelTimer without a scan
  std::map<WatchId, Watch> watches_;
  int pollReady_ = 0;
  std::vector<pollfd> pollFds_;  // reused between rounds: no allocation per wake-up
  std::vector<WatchId> pollWatches_;
  TimerId nextTimerId_ = 1;
  WatchId nextWatchId_ = 1;
  bool quit_ = false;
  int wakeFd_ = -1;
  std::vector<Work> beforeWait_;
  std::vector<Work> afterWait_;
  std::atomic<bool> waiting_{false};
  std::atomic<int> handOverSources_{0};
  std::atomic<std::chrono::steady_clock::rep> checkedAt_;

  std::mutex foreignMutex_;
  std::vector<Work> foreign_;
  std::vector<Work> taken_;  // loop thread only: the batch just taken from foreign_
};

}  // namespace qor::runtime
