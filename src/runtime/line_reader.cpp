#include "runtime/line_reader.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace qor::runtime {
namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// Whether `fd` has something to read (data, end of input or an error) right now.
bool readable(int fd) {
  pollfd one{fd, POLLIN, 0};
  int ready;
  do {
    ready = poll(&one, 1, 0);
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

timespec asTimespec(std::chrono::nanoseconds duration) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(duration);
  return timespec{static_cast<time_t>(seconds.count()),
                  static_cast<long>((duration - seconds).count())};
}

}  // namespace

void LineReader::Batch::clear() {
  text.clear();
  ends.clear();
  ended = false;
}

LineReader::LineReader(EventLoop& loop, int fd, std::size_t longestLine,
                       std::function<void(std::string_view)> onLine, std::function<void()> onEnd)
    : loop_(loop),
      fd_(fd),
      longestLine_(longestLine),
      onLine_(std::move(onLine)),
      onEnd_(std::move(onEnd)) {
  // The timer runs on CLOCK_MONOTONIC, the clock of std::chrono::steady_clock.
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
  watch_ = loop_.watchFd(
      fd_, POLLIN, [this](short) { readOnLoopThread(); }, [this] { return waitByReading(); });
  loop_.addAfterWait([this] { unparkFromLoop(); });
  armTimer(std::chrono::steady_clock::now() + kTakeOverAfter);  // busy until it first waits
  thread_ = std::thread([this] { readerThread(); });
}

// ---- The loop thread ----------------------------------------------------------------------------

// The loop has nothing else to wait for: one blocking read, like a plain filter's, instead of a
// poll and a read. Nothing the reader thread read can be waiting ahead of it, and the reader thread
// does not read meanwhile, so the bytes go to the ready callback as they are.
bool LineReader::waitByReading() {
  if (!readsMayBlock_) {
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    if (ended_.load() || handedOver_.load() > 0) {
      return false;
    }
    loopReading_ = true;
  }
  const ssize_t got = read(fd_, buffer_.data(), buffer_.size());
  const int error = errno;
  loopBatch_.clear();
  {
    std::lock_guard lock(mutex_);
    loopReading_ = false;
    if (got > 0) {
      split(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), loopBatch_);
    } else if (got == 0 || (error != EAGAIN && error != EWOULDBLOCK && error != EINTR)) {
      endOfInput(loopBatch_);  // a read error ends the input too
    }
  }
  if (got < 0 && (error == EAGAIN || error == EWOULDBLOCK)) {
    readsMayBlock_ = false;  // handed to us non-blocking: wait in poll from now on
    return false;
  }
  readWhileWaiting_ = true;
  return true;
}

void LineReader::readOnLoopThread() {
  // Taken out while in use, so that a line handler that reads again cannot disturb it.
  Batch batch = std::move(loopBatch_);
  bool behind = false;
  if (!std::exchange(readWhileWaiting_, false)) {
    batch.clear();
    std::lock_guard lock(mutex_);
    if (!ended_.load()) {
      readAvailable(batch);
      behind = handedOver_.load() > 0;
    }
  }
  if (behind && !batch.empty()) {
    // Lines of the reader thread may still wait in the loop: these go behind them.
    loop_.adoptHandedOverWork();
    loop_.post([this, lines = std::move(batch)] { deliver(lines); });
    return;
  }
  deliver(batch);
  loopBatch_ = std::move(batch);
}

void LineReader::deliver(const Batch& batch) {
  const std::string_view text(batch.text);
  std::size_t begin = 0;
  for (std::size_t end : batch.ends) {
    onLine_(text.substr(begin, end - begin));
    begin = end;
  }
  if (batch.ended) {
    if (watch_) {
      loop_.unwatchFd(*watch_);
      watch_.reset();
    }
    onEnd_();
  }
}

// The loop has just woken up: when the reader thread parked its timer, it ticks again from now.
void LineReader::unparkFromLoop() {
  if (parked_.load() && parked_.exchange(false)) {
    armTimer(loop_.descriptorsCheckedAt() + kTakeOverAfter);
  }
}

// ---- The reader thread --------------------------------------------------------------------------

// Each tick looks at the loop: idle since the last tick parks the timer; held up for less than
// kTakeOverAfter moves the next tick to the moment it would have been held up that long; held up
// longer hands reading over to this thread until the loop looks at its descriptors again.
void LineReader::readerThread() {
  while (awaitTick() && !ended_.load()) {
    const SteadyTime checked = loop_.descriptorsCheckedAt();
    if (loop_.isWaiting()) {
      if (checked == lastSeenCheck_) {
        park(checked);
      }
      lastSeenCheck_ = checked;
      continue;
    }
    lastSeenCheck_ = checked;
    if (std::chrono::steady_clock::now() - checked < kTakeOverAfter) {
      armTimer(checked + kTakeOverAfter);
      continue;
    }
    if (!drainWhileHeldUp(checked)) {
      return;
    }
  }
}

bool LineReader::awaitTick() {
  pollfd fds[2] = {{timerFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    if (fds[1].revents != 0) {
      return false;
    }
    std::uint64_t expirations;
    if (read(timerFd_, &expirations, sizeof expirations) > 0) {
      return true;
    }
  }
}

// Parking races with the loop waking up: both sides first publish (the loop its check time, this
// thread the mark) and then look at the other's, so at least one of them sees the other.
void LineReader::park(SteadyTime seenCheck) {
  disarmTimer();
  parked_.store(true);
  if (!loop_.isWaiting() || loop_.descriptorsCheckedAt() != seenCheck) {
    if (parked_.exchange(false)) {
      armTimer(std::chrono::steady_clock::now() + kTakeOverAfter);
    }
  }
}

bool LineReader::drainWhileHeldUp(SteadyTime heldSince) {
  auto stillHeldUp = [&] {
    return !loop_.isWaiting() && loop_.descriptorsCheckedAt() == heldSince;
  };
  pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
  const int timeoutMs = static_cast<int>(kTakeOverAfter.count());
  while (stillHeldUp()) {
    int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (fds[1].revents != 0) {
      return false;
    }
    // Woken by input the loop thread also saw: it reads for itself again.
    if (ready <= 0 || !stillHeldUp()) {
      continue;
    }
    std::lock_guard lock(mutex_);
    if (ended_.load()) {
      return false;
    }
    if (loopReading_) {
      continue;  // the loop went back to waiting and reads for itself
    }
    Batch batch;
    readAvailable(batch);
    if (!batch.empty()) {
      // Posted under the lock: batches reach the loop in the order they were read.
      handedOver_.fetch_add(1);
      loop_.postFromAnyThread([this, lines = std::move(batch)] {
        handedOver_.fetch_sub(1);
        deliver(lines);
      });
    }
  }
  return !ended_.load();
}

void LineReader::armTimer(SteadyTime first) {
  itimerspec when{};
  when.it_value = asTimespec(first.time_since_epoch());
  when.it_interval = asTimespec(kTakeOverAfter);
  timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void LineReader::disarmTimer() {
  itimerspec never{};
  timerfd_settime(timerFd_, 0, &never, nullptr);
}

// ---- Reading and splitting (either thread, mutex_ held) -----------------------------------------

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
void LineReader::readAvailable(Batch& batch) {
  for (;;) {
    ssize_t got = readNow();
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    }
    if (got <= 0) {  // end of input; a read error ends it too
      endOfInput(batch);
      return;
    }
    split(std::string_view(buffer_.data(), static_cast<std::size_t>(got)), batch);
    if (static_cast<std::size_t>(got) < buffer_.size()) {
      return;  // drained for now; do not ask again for nothing
    }
  }
}

// Lines that lie whole in the bytes just read go straight into the batch; only a line that
// began in an earlier read is gathered in `partial_` first.
void LineReader::split(std::string_view bytes, Batch& batch) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view part = bytes.substr(0, newline);
    if (newline != std::string_view::npos && partial_.empty() && !overlong_) {
      addLine(part.substr(0, longestLine_), part.size() > longestLine_, batch);
    } else {
      const std::size_t room = longestLine_ - std::min(partial_.size(), longestLine_);
      partial_.append(part.substr(0, room));
      overlong_ = overlong_ || part.size() > room;
      if (newline == std::string_view::npos) {
        return;
      }
      finishPartial(batch);
    }
    bytes.remove_prefix(newline + 1);
  }
}

// A carriage return past the length limit is content that was cut, not half of a CRLF.
void LineReader::addLine(std::string_view line, bool overlong, Batch& batch) {
  if (!overlong && !line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  batch.text.append(line);
  batch.ends.push_back(batch.text.size());
}

void LineReader::finishPartial(Batch& batch) {
  if (batch.text.empty()) {
    // A long line that came in many reads is handed over without another copy.
    const bool overlong = overlong_;
    batch.text.swap(partial_);
    if (!overlong && !batch.text.empty() && batch.text.back() == '\r') {
      batch.text.pop_back();
    }
    batch.ends.push_back(batch.text.size());
  } else {
    addLine(partial_, overlong_, batch);
  }
  partial_.clear();
  overlong_ = false;
}

void LineReader::endOfInput(Batch& batch) {
  ended_.store(true);
  if (!partial_.empty() || overlong_) {
    finishPartial(batch);  // a last line without a terminator
  }
  batch.ended = true;
}

}  // namespace qor::runtime
