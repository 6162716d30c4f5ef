#include "runtime/event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace qor::runtime {

EventLoop::EventLoop(Clock& clock) : clock_(clock) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) {
    std::abort();  // Without a wake-up descriptor no other thread can reach the loop.
  }
}

EventLoop::~EventLoop() { close(wakeFd_); }

void EventLoop::post(Work work) { queue_.push_back(std::move(work)); }

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
  timers_.emplace(deadline, Timer{id, std::move(fire)});
  return id;
}

void EventLoop::cancelTimer(TimerId id) {
  for (auto it = timers_.begin(); it != timers_.end(); ++it) {
    if (it->second.id == id) {
      timers_.erase(it);
      return;
    }
  }
}

std::optional<MonoTime> EventLoop::nextTimerDeadline() const {
  if (timers_.empty()) {
    return std::nullopt;
  }
  return timers_.begin()->first;
}

EventLoop::WatchId EventLoop::watchFd(int fd, short events, std::function<void(short)> ready) {
  WatchId id = nextWatchId_++;
  watches_.emplace(id, Watch{fd, events, std::move(ready)});
  return id;
}

void EventLoop::unwatchFd(WatchId id) { watches_.erase(id); }

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
  std::size_t fired = 0;
  MonoTime now = clock_.now();
  while (!timers_.empty() && timers_.begin()->first <= now) {
    Work fire = std::move(timers_.begin()->second.fire);
    timers_.erase(timers_.begin());
    fire();
    ++fired;
  }
  return fired;
}

std::size_t EventLoop::takeForeignWork() {
  std::vector<Work> taken;
  {
    std::lock_guard lock(foreignMutex_);
    taken.swap(foreign_);
  }
  for (Work& work : taken) {
    queue_.push_back(std::move(work));
  }
  return taken.size();
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
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  fds.push_back(pollfd{wakeFd_, POLLIN, 0});
  for (const auto& [id, watch] : watches_) {
    fds.push_back(pollfd{watch.fd, watch.events, 0});
    ids.push_back(id);
  }
  int ready = poll(fds.data(), fds.size(), timeoutMs);
  if (ready <= 0) {
    return 0;  // Timeout, or EINTR: the caller simply goes round again.
  }
  std::size_t handled = 0;
  if (fds[0].revents != 0) {
    std::uint64_t count;
    [[maybe_unused]] auto got = read(wakeFd_, &count, sizeof count);
  }
  handled += takeForeignWork();
  for (std::size_t i = 1; i < fds.size(); ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    // A callback may have removed this or another watch meanwhile.
    auto it = watches_.find(ids[i - 1]);
    if (it != watches_.end()) {
      auto callback = it->second.ready;
      callback(fds[i].revents);
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
    pollOnce(pollTimeoutMs());
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
