#include "runtime/line_reader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace qor::runtime {
namespace {

// Whether `fd` has something to read (data, end of input or an error) right now.
bool readable(int fd) {
  pollfd one{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&one, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

// Blocks until one of `fds` is ready; false on an unexpected error.
bool waitFor(pollfd* fds, nfds_t count) {
  for (;;) {
    if (poll(fds, count, -1) >= 0) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

}  // namespace

LineReader::LineReader(EventLoop& loop, int fd, std::size_t longestLine,
                       std::function<void(const Lines&)> onLines, std::function<void()> onEnd)
    : loop_(loop),
      fd_(fd),
      longestLine_(longestLine),
      onLines_(std::move(onLines)),
      onEnd_(std::move(onEnd)) {
  timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (timerFd_ < 0 || stopFd_ < 0) {
    std::abort();  // without them input could stall behind long work, or never stop
  }
  struct stat info {};
  pipeLike_ = fstat(fd_, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode));
}

LineReader::~LineReader() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto written = write(stopFd_, &one, sizeof one);
  if (thread_.joinable()) {
    thread_.join();
  }
  if (watch_) {
    loop_.unwatchFd(*watch_);
  }
  close(timerFd_);
  close(stopFd_);
}

void LineReader::start() {
  watch_ = loop_.watchFd(fd_, POLLIN, [this](short) {
    std::lock_guard lock(mutex_);
    if (!ended_.load()) {
      readAvailable(/*onLoopThread=*/true);
    }
  });
  loop_.addAfterWait([this] { armTakeOver(); });
  armTakeOver();  // the loop is busy until it first waits
  thread_ = std::thread([this] { readerThread(); });
}

// One system call per wake-up at most, and none while the timer is still pending: it may then go
// off early in a busy stretch, which only costs the reader thread a look.
void LineReader::armTakeOver() {
  if (armed_ && !expired_.exchange(false)) {
    return;
  }
  armed_ = true;
  itimerspec when{};
  when.it_value.tv_nsec = std::chrono::nanoseconds(kTakeOverAfter).count();
  timerfd_settime(timerFd_, 0, &when, nullptr);
}

void LineReader::readerThread() {
  while (awaitTakeOver() && drainWhileBusy()) {
  }
}

bool LineReader::awaitTakeOver() {
  pollfd fds[2] = {{timerFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  if (!waitFor(fds, 2) || fds[1].revents != 0) {
    return false;
  }
  std::uint64_t expirations;
  [[maybe_unused]] auto got = read(timerFd_, &expirations, sizeof expirations);
  expired_.store(true);
  return !ended_.load();
}

bool LineReader::drainWhileBusy() {
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  while (!loop_.isWaiting()) {
    if (!waitFor(fds, 2) || fds[1].revents != 0) {
      return false;
    }
    // An idle loop thread is woken by the same input and reads it itself.
    if (loop_.isWaiting()) {
      break;
    }
    std::lock_guard lock(mutex_);
    if (ended_.load()) {
      return false;
    }
    readAvailable(/*onLoopThread=*/false);
  }
  return !ended_.load();
}

ssize_t LineReader::readNow() {
  for (;;) {
    ssize_t got;
    if (pipeLike_) {
      iovec into{buffer_.data(), buffer_.size()};
      got = preadv2(fd_, &into, 1, -1, RWF_NOWAIT);
      if (got < 0 && errno == EOPNOTSUPP) {
        pipeLike_ = false;  // an older system: look first, then read
        continue;
      }
    } else if (!readable(fd_)) {
      errno = EAGAIN;
      return -1;
    } else {
      got = read(fd_, buffer_.data(), buffer_.size());
    }
    if (got >= 0 || errno != EINTR) {
      return got;
    }
  }
}

// The caller saw the descriptor ready, but the other reader may have taken what was there: a
// plain read on an empty pipe would wait while holding the lock, so every read is one that
// does not wait.
void LineReader::readAvailable(bool onLoopThread) {
  Lines batch;
  bool ended = false;
  for (;;) {
    ssize_t got = readNow();
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    if (got <= 0) {
      ended = true;  // end of input; a read error ends it too
      break;
    }
    split(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), batch);
    if (static_cast<std::size_t>(got) < buffer_.size()) {
      break;  // drained for now; do not ask again for nothing
    }
  }
  if (ended) {
    ended_.store(true);
    if (!partial_.empty() || overlong_) {
      finishLine(batch);  // a last line without a terminator
    }
  }
  deliver(std::move(batch), ended, onLoopThread);
}

void LineReader::split(std::string_view bytes, Lines& batch) {
  while (!bytes.empty()) {
    std::size_t newline = bytes.find('\n');
    std::string_view part = bytes.substr(0, newline);
    std::size_t room = longestLine_ - std::min(partial_.size(), longestLine_);
    partial_.append(part.substr(0, room));
    overlong_ = overlong_ || part.size() > room;
    if (newline == std::string_view::npos) {
      return;
    }
    finishLine(batch);
    bytes.remove_prefix(newline + 1);
  }
}

void LineReader::finishLine(Lines& batch) {
  if (!overlong_ && !partial_.empty() && partial_.back() == '\r') {
    partial_.pop_back();
  }
  batch.push_back(std::move(partial_));
  partial_.clear();
  overlong_ = false;
}

// Lines read on the loop thread go behind everything the reader thread handed over before, which
// the loop may not have taken yet; both happen under the lock, so the order is the input's.
void LineReader::deliver(Lines batch, bool ended, bool onLoopThread) {
  auto post = [&](EventLoop::Work work) {
    if (onLoopThread) {
      loop_.adoptHandedOverWork();
      loop_.post(std::move(work));
    } else {
      loop_.postFromAnyThread(std::move(work));
    }
  };
  if (!batch.empty()) {
    post([this, lines = std::move(batch)] { onLines_(lines); });
  }
  if (ended) {
    post([this] {
      if (watch_) {
        loop_.unwatchFd(*watch_);
        watch_.reset();
      }
      onEnd_();
    });
  }
}

}  // namespace qor::runtime
