// qor-native: reads one JSON request per line on standard input and writes one JSON response per
// line on standard output. A LineReader turns standard input into lines (on its own thread, or on
// the main thread while that waits idle); everything else runs on the main thread's loop.
//
// Options: --help, --version and --trace FILE (QOR_TRACE=FILE when no option is given).

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/native_runtime.h"
#include "platform/none/none_desktop.h"
#include "qor_version.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#include "runtime/line_reader.h"
#include "runtime/process_memory.h"
#include "trace/trace_file.h"
#include "trace/tracing_desktop.h"
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

void writeLineTo(int fd, const std::string& line) {
  writeAll(fd, line + "\n");
}

constexpr const char* kProtocolReference = QOR_DOC_DIR "/protocol.md";

std::string usage() {
  return std::string(
             "Usage: qor-native [--trace FILE]\n"
             "       qor-native --help | --version\n"
             "\n"
             "Reads one JSON request per line on standard input and writes one JSON\n"
             "response per line on standard output until standard input ends. A\n"
             "controlling application starts it as a child process; the protocol is\n"
             "described in ") +
         kProtocolReference +
         ".\n"
         "\n"
         "Options:\n"
         "  --trace FILE  append a line for every request, response and desktop call to\n"
         "                FILE (the environment variable QOR_TRACE=FILE does the same\n"
         "                when this option is not given)\n"
         "  --help        print this text and exit\n"
         "  --version     print the version and exit\n";
}

// What the command line asks for: an answer and an exit status, or a run with these settings.
struct CommandLine {
  std::optional<int> exitNow;
  std::optional<std::string> tracePath;
};

// Reads the arguments; --help, --version and mistakes are answered here.
CommandLine readCommandLine(int argc, char** argv) {
  CommandLine command;
  for (int index = 1; index < argc; ++index) {
    std::string_view argument = argv[index];
    if (argument == "--help" || argument == "-h") {
      writeAll(STDOUT_FILENO, usage());
      return {0, {}};
    }
    if (argument == "--version") {
      writeLineTo(STDOUT_FILENO, std::string("qor-native ") + qor::kVersion);
      return {0, {}};
    }
    if (argument == "--trace" && index + 1 < argc && *argv[index + 1]) {
      command.tracePath = argv[++index];
    } else if (argument.starts_with("--trace=") && argument.size() > 8) {
      command.tracePath = std::string(argument.substr(8));
    } else if (argument.starts_with("--trace")) {
      writeLineTo(STDERR_FILENO, "qor-native: --trace needs a file name; see qor-native --help");
      return {2, {}};
    } else {
      writeLineTo(STDERR_FILENO, "qor-native: unknown option " + std::string(argument) +
                                     "; see qor-native --help");
      return {2, {}};
    }
  }
  if (!command.tracePath) {
    if (const char* fromEnvironment = std::getenv("QOR_TRACE");
        fromEnvironment && *fromEnvironment) {
      command.tracePath = fromEnvironment;
    }
  }
  return command;
}

// A person who starts the bridge by hand learns what it waits for; a controlling process, whose
// pipe is not a terminal, sees nothing of this.
void greetPersonAtTerminal(int argc) {
  if (argc == 1 && isatty(STDIN_FILENO)) {
    writeLineTo(STDERR_FILENO,
                std::string("qor-native: expects one JSON request per line on standard input "
                            "(end with Ctrl-D); the protocol is described in ") +
                    kProtocolReference);
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

qor::NativeRuntime::LineWriter responseWriter(qor::trace::TraceFile* trace) {
  if (!trace) {
    return [](std::string_view line) { writeAll(STDOUT_FILENO, line); };
  }
  return [trace](std::string_view line) {
    trace->response(line);
    writeAll(STDOUT_FILENO, line);
  };
}

}  // namespace

int main(int argc, char** argv) {
  CommandLine command = readCommandLine(argc, argv);
  if (command.exitNow) {
    return *command.exitNow;
  }
  std::unique_ptr<qor::trace::TraceFile> trace;
  if (command.tracePath) {
    trace = qor::trace::TraceFile::open(*command.tracePath);
    if (!trace) {
      writeLineTo(STDERR_FILENO, "qor-native: cannot open trace file " + *command.tracePath + ": " +
                                     std::strerror(errno));
      return 1;
    }
  }
  greetPersonAtTerminal(argc);

  qor::runtime::keepFreedMemoryForReuse();
  qor::runtime::RealClock clock;
  qor::runtime::EventLoop loop(clock);
  std::unique_ptr<qor::desktop::Desktop> platformDesktop = makeDesktop(loop);
  // Traced runs see the platform through the tracing desktop; untraced runs call it directly.
  std::unique_ptr<qor::desktop::Desktop> traced;
  if (trace) {
    traced = std::make_unique<qor::trace::TracingDesktop>(*platformDesktop, *trace);
  }
  qor::desktop::Desktop& desktop = traced ? *traced : *platformDesktop;

  // The user's temporary directory as the system reports it to every program.
  const char* tmpdir = std::getenv("TMPDIR");
  std::filesystem::path temporary = tmpdir && *tmpdir ? tmpdir : "/tmp";
  std::unique_ptr<qor::NativeRuntime> runtime;
  try {
    runtime = std::make_unique<qor::NativeRuntime>(qor::NativeRuntime::Environment{
        desktop, loop, responseWriter(trace.get()), [](int status) { _exit(status); }, temporary});
  } catch (const std::exception&) {
    writeAll(STDERR_FILENO, "qor-native: cannot create private capture directory\n");
    return 1;
  }

  // Lines reach receive() in input order, then the end of input; nothing else reads stdin.
  qor::runtime::LineReader input(
      loop, STDIN_FILENO, kLongestUsefulLine,
      [&runtime, &trace](std::string_view line) {
        if (trace) {
          trace->request(line);
        }
        runtime->receive(line);
      },
      [&runtime] { runtime->endOfInput(); });
  input.start();
  loop.run();
  return 0;
}
