// qor-native: reads one JSON request per line on standard input and writes one JSON response per
// line on standard output. A LineReader turns standard input into lines (on its own thread, or on
// the main thread while that waits idle); everything else runs on the main thread's loop.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "bridge/native_runtime.h"
#include "platform/none/none_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#include "runtime/line_reader.h"
#include "runtime/process_memory.h"
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
  qor::runtime::keepFreedMemoryForReuse();
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

  // Lines reach receive() in input order, then the end of input; nothing else reads stdin.
  qor::runtime::LineReader input(
      loop, STDIN_FILENO, kLongestUsefulLine,
      [&runtime](std::string_view line) { runtime->receive(line); },
      [&runtime] { runtime->endOfInput(); });
  input.start();
  loop.run();
  return 0;
}
