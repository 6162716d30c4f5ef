#include "mcp/child_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace qor::mcp {
namespace {

// The bridge is trusted to end its lines; this only keeps a runaway one from taking all memory.
constexpr std::size_t kLongestResponse = std::size_t{1} << 30;

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) {
    return "exited with status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return "was ended by signal " + std::to_string(WTERMSIG(status)) + " (" +
           strsignal(WTERMSIG(status)) + ")";
  }
  return "ended";
}

}  // namespace

ChildBridge::ChildBridge(runtime::EventLoop& loop, std::vector<std::string> command)
    : loop_(loop), command_(std::move(command)) {}

ChildBridge::~ChildBridge() {
  lines_.reset();
  closeIfOpen(input_);
  closeIfOpen(output_);
  if (pid_ > 0) {
    reap(3000);
  }
}

std::string ChildBridge::send(std::string_view line) {
  if (pid_ < 0) {
    if (std::string failure = start(); !failure.empty()) {
      return failure;
    }
  }
  std::string framed(line);
  framed += '\n';
  if (!writeAll(input_, framed)) {
    // It is gone or going: reap it now, so that the calls in flight, this one included, hear
    // why through `ended`, and the next request starts a fresh bridge.
    ended();
  }
  return "";
}

std::string ChildBridge::start() {
  int toChild[2];
  int fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) {
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return std::string("cannot make a pipe: ") + std::strerror(errno);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (std::string& argument : command_) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  if (failed != 0) {
    pid_ = -1;
    close(toChild[1]);
    close(fromChild[0]);
    return "cannot start " + command_.front() + ": " + std::strerror(failed);
  }
  input_ = toChild[1];
  output_ = fromChild[0];
  fcntl(output_, F_SETFL, fcntl(output_, F_GETFL) | O_NONBLOCK);  // our own end: read it dry
  lines_.emplace(
      loop_, output_, kLongestResponse,
      [this](std::string_view line) {
        if (listener_.line) {
          listener_.line(line);
        }
      },
      [this] { ended(); });
  return "";
}

void ChildBridge::ended() {
  lines_.reset();
  closeIfOpen(input_);
  closeIfOpen(output_);
  const std::string why = reap(2000);
  if (listener_.ended) {
    listener_.ended(why);
  }
}

// Waits up to `waitMs` for the bridge to end, then kills it; returns how it ended.
std::string ChildBridge::reap(int waitMs) {
  const pid_t pid = pid_;
  pid_ = -1;
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd exited{pidfd, POLLIN, 0};
    while (poll(&exited, 1, waitMs) < 0 && errno == EINTR) {
    }
    close(pidfd);
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return describeStatus(status);
}

}  // namespace qor::mcp
