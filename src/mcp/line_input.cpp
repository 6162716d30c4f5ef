#include "mcp/line_input.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qor::mcp {

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

LineInput::LineInput(runtime::EventLoop& loop, int fd, std::size_t longestLine,
                     std::function<void(std::string_view line)> onLine, std::function<void()> onEnd)
    : loop_(loop),
      fd_(fd),
      longestLine_(longestLine),
      onLine_(std::move(onLine)),
      onEnd_(std::move(onEnd)) {
  nonBlocking_ = (fcntl(fd_, F_GETFL) & O_NONBLOCK) != 0;
  watch_ = loop_.watchFd(fd_, POLLIN, [this](short) { readable(); });
}

LineInput::~LineInput() {
  stop();
}

void LineInput::stop() {
  if (watch_) {
    loop_.unwatchFd(*watch_);
    watch_.reset();
  }
}

// The loop found the descriptor readable, so one read does not wait. A descriptor that cannot
// make a read wait is read on while a read fills the buffer: a long line costs one round.
void LineInput::readable() {
  static thread_local std::vector<char> buffer(1 << 18);
  ssize_t got = read(fd_, buffer.data(), buffer.size());
  while (nonBlocking_ && got == static_cast<ssize_t>(buffer.size())) {
    split(std::string_view(buffer.data(), buffer.size()));
    got = read(fd_, buffer.data(), buffer.size());
  }
  if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
    return;
  }
  if (got <= 0) {
    stop();
    if (!partial_.empty()) {
      std::string last = std::move(partial_);
      partial_.clear();
      onLine_(last);  // a last line without a terminator still counts
    }
    // The owner may destroy this object in its handler: run a copy that outlives it.
    const std::function<void()> end = std::move(onEnd_);
    end();
    return;
  }
  split(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
}

void LineInput::split(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (partial_.size() <= longestLine_) {
      partial_.append(piece.substr(0, longestLine_ + 1 - partial_.size()));
    }
    if (newline == std::string_view::npos) {
      return;
    }
    bytes.remove_prefix(newline + 1);
    std::string complete = std::move(partial_);
    partial_.clear();
    if (complete.ends_with('\r') && complete.size() <= longestLine_) {
      complete.pop_back();
    }
    onLine_(complete);
  }
}

}  // namespace qor::mcp
