#include "blackbox/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qor::testing {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

int remainingMs(Clock::time_point until) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<std::string> mergedEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    std::string name(text.substr(0, text.find('=')));
    if (!changes.contains(name)) {
      merged.emplace_back(text);
    }
  }
  for (const auto& [name, value] : changes) {
    if (value) {
      merged.push_back(name + "=" + *value);
    }
  }
  return merged;
}

// Reads what is there into `into`; false at end of stream.
bool drain(int& fd, std::string& into) {
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      into.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return true;
    }
    ::close(fd);
    fd = -1;
    return false;
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const ChildOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    fail("pipe2");
  }
  if (options.nonBlockingStreams) {
    for (int fd : {in[0], out[1], err[1]}) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  std::vector<std::string> arguments{program};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  std::vector<char*> argv;
  for (std::string& each : arguments) {
    argv.push_back(each.data());
  }
  argv.push_back(nullptr);
  std::vector<std::string> environment = mergedEnvironment(options.environment);
  std::vector<char*> envp;
  for (std::string& each : environment) {
    envp.push_back(each.data());
  }
  envp.push_back(nullptr);

  // The test process ignores SIGPIPE (a child that exits early must not kill it); the child gets
  // default dispositions and an empty signal mask, as it would from a controlling process.
  ::signal(SIGPIPE, SIG_IGN);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  int spawned =
      posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  input_ = in[1];
  output_ = out[0];
  errors_ = err[0];
  if (spawned != 0) {
    errno = spawned;
    fail("posix_spawn " + program);
  }
  for (int fd : {input_, output_, errors_}) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {input_, output_, errors_}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
}

bool ChildProcess::pumpOnce(Clock::time_point until, bool* writable) {
  pollfd fds[3];
  nfds_t count = 0;
  int outputAt = -1, errorsAt = -1, inputAt = -1;
  if (output_ >= 0) {
    outputAt = static_cast<int>(count);
    fds[count++] = pollfd{output_, POLLIN, 0};
  }
  if (errors_ >= 0) {
    errorsAt = static_cast<int>(count);
    fds[count++] = pollfd{errors_, POLLIN, 0};
  }
  if (writable != nullptr && input_ >= 0) {
    inputAt = static_cast<int>(count);
    fds[count++] = pollfd{input_, POLLOUT, 0};
  }
  if (count == 0) {
    return false;
  }
  int ready = ::poll(fds, count, remainingMs(until));
  if (ready < 0 && errno == EINTR) {
    return true;
  }
  if (ready <= 0) {
    return false;
  }
  if (outputAt >= 0 && fds[outputAt].revents != 0) {
    drain(output_, stdout_);
  }
  if (errorsAt >= 0 && fds[errorsAt].revents != 0) {
    drain(errors_, stderr_);
  }
  if (inputAt >= 0 && fds[inputAt].revents != 0) {
    *writable = true;
  }
  return true;
}

void ChildProcess::write(std::string_view bytes) {
  auto until = Clock::now() + 60s;
  while (!bytes.empty()) {
    ssize_t written = ::write(input_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fail("write to child");
    }
    bool writable = false;
    while (!writable) {
      if (!pumpOnce(until, &writable)) {
        throw std::runtime_error("the child stopped reading its input");
      }
    }
  }
}

void ChildProcess::closeInput() {
  if (input_ >= 0) {
    ::close(input_);
    input_ = -1;
  }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds deadline) {
  auto until = Clock::now() + deadline;
  for (;;) {
    if (auto newline = stdout_.find('\n'); newline != std::string::npos) {
      std::string line = stdout_.substr(0, newline + 1);
      stdout_.erase(0, newline + 1);
      return line;
    }
    if (output_ < 0 || !pumpOnce(until)) {
      return std::nullopt;
    }
  }
}

std::vector<std::string> ChildProcess::readLines(std::size_t count,
                                                 std::chrono::milliseconds deadline) {
  auto until = Clock::now() + deadline;
  std::vector<std::string> lines;
  lines.reserve(count);
  std::size_t start = 0;
  while (lines.size() < count) {
    std::size_t newline = stdout_.find('\n', start);
    if (newline != std::string::npos) {
      lines.push_back(stdout_.substr(start, newline + 1 - start));
      start = newline + 1;
      continue;
    }
    stdout_.erase(0, start);
    start = 0;
    if (output_ < 0 || !pumpOnce(until)) {
      break;
    }
  }
  stdout_.erase(0, start);
  return lines;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds deadline) {
  if (status_) {
    return status_;
  }
  auto until = Clock::now() + deadline;
  while (output_ >= 0 || errors_ >= 0) {
    if (!pumpOnce(until)) {
      return std::nullopt;
    }
  }
  // Both streams ended: the process has exited or is about to; reap it.
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) {
      fail("waitpid");
    }
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  return status_;
}

}  // namespace qor::testing
