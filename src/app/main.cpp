// qor-native: reads one JSON request per line on standard input and writes one JSON response per
// line on standard output. A reader thread only reads and hands lines over; everything else runs
// on the main thread's loop.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bridge/native_runtime.h"
#include "platform/none/none_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#if QOR_HAVE_X11
#include "platform/x11/x11_desktop.h"
#endif

namespace {

constexpr std::size_t kLongestUsefulLine = 2'097'152 + 1;  // longer lines are refused unread

// Waits until `fd` is ready for `events`; used when a parent hands us a non-blocking pipe.
void waitFor(int fd, short events) {
  pollfd one{fd, events, 0};
  while (poll(&one, 1, -1) < 0 && errno == EINTR) {
  }
}

// Writes all of `bytes` to a descriptor, retrying short writes; a closed pipe ends the attempt.
void writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        waitFor(fd, POLLOUT);
        continue;
      }
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

// Reads what standard input has; 0 at end of input (a read error counts as the end).
std::size_t readSome(std::vector<char>& buffer) {
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got >= 0) {
      return static_cast<std::size_t>(got);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      waitFor(STDIN_FILENO, POLLIN);
    } else if (errno != EINTR) {
      return 0;
    }
  }
}

// Splits standard input into lines (without "\n" or "\r\n") and posts them in order, then posts
// the end of input. Lines past the longest useful length keep only that many bytes, so that a
// line without end cannot exhaust memory; the bridge refuses them by length alone.
void readLines(qor::runtime::EventLoop& loop, qor::NativeRuntime& runtime) {
  std::vector<char> buffer(1 << 16);
  std::string line;
  bool overlong = false;
  auto finishLine = [&](std::vector<std::string>& batch) {
    if (!overlong && !line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    batch.push_back(std::move(line));
    line.clear();
    overlong = false;
  };
  auto postBatch = [&](std::vector<std::string> batch) {
    if (!batch.empty()) {
      loop.postFromAnyThread([&runtime, batch = std::move(batch)] {
        for (const std::string& each : batch) {
          runtime.receive(each);
        }
      });
    }
  };
  while (std::size_t got = readSome(buffer)) {
    std::vector<std::string> batch;
    std::string_view chunk(buffer.data(), got);
    while (!chunk.empty()) {
      std::size_t newline = chunk.find('\n');
      std::string_view part = chunk.substr(0, newline);
      std::size_t room = kLongestUsefulLine - std::min(line.size(), kLongestUsefulLine);
      line.append(part.substr(0, room));
      overlong = overlong || part.size() > room;
      if (newline == std::string_view::npos) {
        break;
      }
      finishLine(batch);
      chunk.remove_prefix(newline + 1);
    }
    postBatch(std::move(batch));
  }
  if (!line.empty() || overlong) {
    std::vector<std::string> last;
    finishLine(last);
    postBatch(std::move(last));
  }
  loop.postFromAnyThread([&runtime] { runtime.endOfInput(); });
}

std::unique_ptr<qor::desktop::Desktop> makeDesktop(qor::runtime::EventLoop& loop) {
#if QOR_HAVE_X11
  if (auto desktop = qor::platform::makeX11Desktop(loop)) {
    return desktop;
  }
#endif
  return qor::platform::makeNoneDesktop(loop);
}

}  // namespace

int main() {
  qor::runtime::RealClock clock;
  qor::runtime::EventLoop loop(clock);
  std::unique_ptr<qor::desktop::Desktop> desktop = makeDesktop(loop);

  // The user's temporary directory as the system reports it to every program.
  const char* tmpdir = std::getenv("TMPDIR");
  std::filesystem::path temporary = tmpdir && *tmpdir ? tmpdir : "/tmp";
  std::unique_ptr<qor::NativeRuntime> runtime;
  try {
    runtime = std::make_unique<qor::NativeRuntime>(qor::NativeRuntime::Environment{
        *desktop, loop, [](std::string_view line) { writeAll(STDOUT_FILENO, line); },
        [](int status) { _exit(status); }, temporary});
  } catch (const std::exception&) {
    writeAll(STDERR_FILENO, "qor-native: cannot create private capture directory\n");
    return 1;
  }

  std::thread reader([&loop, &runtime] { readLines(loop, *runtime); });
  reader.detach();
  loop.run();
  return 0;
}
