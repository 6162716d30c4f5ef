#include "runtime/event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace qor::runtime {

EventLoop::EventLoop(Clock& clock)
    : clock_(clock), checkedAt_(std::chrono::steady_clock::now().time_since_epoch().count()) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    std::abort();  // Without a wake-up descriptor no other thread can reach the loop.
  }
}

EventLoop::~EventLoop() {
  close(wakeFd_);
}

void EventLoop::post(Work work) {
  queue_.push_back(std::move(work));
}

void EventLoop::postFromAnyThread(Work work) {
  bool wasEmpty;
  {
    std::lock_guard lock(foreignMutex_);
    wasEmpty = foreign_.empty();
    foreign_.push_back(std::move(work));
  }
  // One wake-up per batch: the loop takes every handed-over item when it wakes.
  if (wasEmpty) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
  }
}

EventLoop::TimerId EventLoop::addTimer(MonoTime deadline, Work fire) {
  TimerId id = nextTimerId_++;
  timerIndex_.emplace(id, timers_.emplace(deadline, Timer{id, std::move(fire)}));
  return id;
}

void EventLoop::cancelTimer(TimerId id) {
  if (auto found = timerIndex_.find(id); found != timerIndex_.end()) {
    timers_.erase(found->second);
    timerIndex_.erase(found);
  }
}

std::optional<MonoTime> EventLoop::nextTimerDeadline() const {
  if (timers_.empty()) {
    return std::nullopt;
  }
  return timers_.begin()->first;
}

EventLoop::WatchId EventLoop::watchFd(int fd, short events, std::function<void(short)> ready,
                                      std::function<bool()> waitByReading) {
  WatchId id = nextWatchId_++;
  watches_.emplace(id, Watch{fd, events, std::move(ready), std::move(waitByReading)});
  return id;
}

void EventLoop::unwatchFd(WatchId id) {
  watches_.erase(id);
}

std::size_t EventLoop::runQueued() {
  // Work posted while this round runs waits for the next round, so a task that keeps yielding
  // cannot starve timers and descriptors.
  std::size_t count = queue_.size();
  for (std::size_t i = 0; i < count && !queue_.empty(); ++i) {
    Work work = std::move(queue_.front());
    queue_.pop_front();
    work();
  }
  return count;
}

std::size_t EventLoop::fireDueTimers() {
  if (timers_.empty()) {
    return 0;  // without reading the clock
  }
  std::size_t fired = 0;
  const MonoTime now = clock_.now();
  const TimerId addedBeforeThisRound = nextTimerId_;
  // Timers added by a callback sort after every timer that was due when the round began (their
  // deadline is at least `now`), so stopping at the first of them loses nothing.
  while (!timers_.empty() && timers_.begin()->first <= now &&
         timers_.begin()->second.id < addedBeforeThisRound) {
    auto first = timers_.begin();
    Work fire = std::move(first->second.fire);
    timerIndex_.erase(first->second.id);
    timers_.erase(first);
    fire();
    ++fired;
  }
  return fired;
}

std::size_t EventLoop::takeForeignWork() {
  {
    std::lock_guard lock(foreignMutex_);
    taken_.swap(foreign_);  // both keep their capacity, so hand-overs rarely allocate
  }
  std::size_t count = taken_.size();
  for (Work& work : taken_) {
    queue_.push_back(std::move(work));
  }
  taken_.clear();
  return count;
}

int EventLoop::pollTimeoutMs() const {
  if (!queue_.empty()) {
    return 0;
  }
  auto next = nextTimerDeadline();
  if (!next) {
    return -1;
  }
  auto remaining = *next - clock_.now();
  if (remaining <= Duration::zero()) {
    return 0;
  }
  // Round up so that a timer is never woken a little early and polled again in a busy loop.
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
  return static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max()));
}

std::size_t EventLoop::pollOnce(int timeoutMs) {
  waitForEvents(timeoutMs);
  return handleEvents();
}

void EventLoop::waitForEvents(int timeoutMs) {
  pollFds_.clear();
  pollWatches_.clear();
  pollFds_.push_back(pollfd{wakeFd_, POLLIN, 0});
  for (const auto& [id, watch] : watches_) {
    pollFds_.push_back(pollfd{watch.fd, watch.events, 0});
    pollWatches_.push_back(id);
  }
  pollReady_ = poll(pollFds_.data(), pollFds_.size(), timeoutMs);
  stampCheck();
}

void EventLoop::stampCheck() {
  checkedAt_.store(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::optional<EventLoop::WatchId> EventLoop::waitByReading() {
  if (watches_.size() != 1 || handOverSources_.load() != 0) {
    return std::nullopt;
  }
  auto& [id, watch] = *watches_.begin();
  if (!watch.waitByReading || !watch.waitByReading()) {
    return std::nullopt;
  }
  stampCheck();
  return id;
}

bool EventLoop::callReady(WatchId id, short revents) {
  auto it = watches_.find(id);
  if (it == watches_.end()) {
    return false;
  }
  auto callback = it->second.ready;  // survives the callback removing its own watch
  callback(revents);
  return true;
}

std::size_t EventLoop::handleEvents() {
  if (pollReady_ <= 0) {
    return 0;  // Timeout, or EINTR: the caller simply goes round again.
  }
  pollReady_ = 0;
  std::size_t handled = 0;
  if (pollFds_[0].revents != 0) {
    // Reset the counter before taking the work, so that a hand-over racing with us writes again.
    std::uint64_t count;
    [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
    handled += takeForeignWork();
  }
  for (std::size_t i = 1; i < pollFds_.size(); ++i) {
    if (pollFds_[i].revents == 0) {
      continue;
    }
    // A callback may have removed this or another watch meanwhile.
    if (callReady(pollWatches_[i - 1], pollFds_[i].revents)) {
      ++handled;
    }
  }
  return handled;
}

void EventLoop::run() {
  quit_ = false;
  while (!quit_) {
    runQueued();
    if (quit_) {
      break;
    }
    int timeout = pollTimeoutMs();
    if (timeout != 0 && !beforeWait_.empty()) {
      for (const Work& hook : beforeWait_) {
        hook();
      }
      timeout = pollTimeoutMs();
    }
    const bool blocking = timeout != 0;
    if (blocking) {
      waiting_.store(true);
      const std::optional<WatchId> readBy = timeout < 0 ? waitByReading() : std::nullopt;
      if (!readBy) {
        waitForEvents(timeout);
      }
      waiting_.store(false);
      for (const Work& hook : afterWait_) {
        hook();
      }
      if (readBy) {
        callReady(*readBy, POLLIN);
      } else {
        handleEvents();
      }
    } else {
      pollOnce(0);
    }
    fireDueTimers();
  }
}

std::size_t EventLoop::runUntilIdle() {
  std::size_t total = 0;
  for (;;) {
    std::size_t round = pollOnce(0) + fireDueTimers() + runQueued();
    if (round == 0) {
      return total;
    }
    total += round;
  }
}

}  // namespace qor::runtime
