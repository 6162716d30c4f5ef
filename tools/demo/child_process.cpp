#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace qor::demo {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMilliseconds(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, Input input) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  if ((input == Input::Pipe && pipe2(in, O_CLOEXEC) != 0) || pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error(std::string("cannot create a pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input == Input::Pipe) {
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

  std::vector<std::string> owned = arguments;
  std::vector<char*> argv;
  for (std::string& each : owned) {
    argv.push_back(each.data());
  }
  argv.push_back(nullptr);
  int status = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  closeIfOpen(in[0]);
  closeIfOpen(out[1]);
  input_ = in[1];
  output_ = out[0];
  if (status != 0) {
    closeIfOpen(input_);
    closeIfOpen(output_);
    throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(status));
  }
  // The pidfd becomes readable when the program exits, so waiting for it can have a deadline.
  pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  closeIfOpen(input_);
  if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
    kill(pid_, SIGTERM);
    pollfd exited{pidfd_, POLLIN, 0};
    if (pidfd_ < 0 || poll(&exited, 1, 2000) <= 0) {
      kill(pid_, SIGKILL);
    }
    waitpid(pid_, nullptr, 0);
  }
  closeIfOpen(output_);
  closeIfOpen(pidfd_);
}

void ChildProcess::writeLine(const std::string& line) {
  std::string data = line + "\n";
  std::size_t written = 0;
  while (written < data.size()) {
    ssize_t count = write(input_, data.data() + written, data.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      throw std::runtime_error("the program no longer reads its input");
    }
    written += static_cast<std::size_t>(count);
  }
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds limit) {
  Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    std::size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    pollfd readable{output_, POLLIN, 0};
    int ready = poll(&readable, 1, remainingMilliseconds(deadline));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return std::nullopt;
    }
    char chunk[65536];
    ssize_t count = read(output_, chunk, sizeof chunk);
    if (count <= 0) {
      return std::nullopt;
    }
    buffered_.append(chunk, static_cast<std::size_t>(count));
  }
}

std::optional<int> ChildProcess::closeInputAndWait(std::chrono::milliseconds limit) {
  closeIfOpen(input_);
  pollfd exited{pidfd_, POLLIN, 0};
  if (pidfd_ >= 0 && poll(&exited, 1, static_cast<int>(limit.count())) <= 0) {
    return std::nullopt;
  }
  int status = 0;
  if (waitpid(pid_, &status, 0) != pid_) {
    return std::nullopt;
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace qor::demo
