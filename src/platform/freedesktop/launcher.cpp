#include "platform/freedesktop/launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qor::platform {
namespace {

// Reads exactly `size` bytes unless the other end closes first; returns how many arrived.
std::size_t readFully(int fd, void* buffer, std::size_t size) {
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, static_cast<char*>(buffer) + got, size - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  return got;
}

// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void becomeProgram(char* const* argv, const char* directory, int errorPipe) {
  int null = open("/dev/null", O_RDWR);
  if (null >= 0) {
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  }
  // Nothing of the bridge's own descriptors reaches the program.
  if (errorPipe > 3) {
    syscall(SYS_close_range, 3U, static_cast<unsigned>(errorPipe - 1), 0U);
  }
  syscall(SYS_close_range, static_cast<unsigned>(errorPipe + 1), ~0U, 0U);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &standard, nullptr);
  if (directory && chdir(directory) != 0) {
    int error = errno;
    (void)!write(errorPipe, &error, sizeof error);
    _exit(127);
  }
  execvp(argv[0], argv);
  int error = errno;
  (void)!write(errorPipe, &error, sizeof error);
  _exit(127);
}

}  // namespace

desktop::Result<desktop::Pid> spawnDetached(const std::vector<std::string>& arguments,
                                            const std::string& workingDirectory) {
  if (arguments.empty()) {
    return desktop::PlatformError{"The application has no command to run"};
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const char* directory = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

  int pidPipe[2];
  int errorPipe[2];
  if (pipe2(pidPipe, O_CLOEXEC) != 0) {
    return desktop::PlatformError{std::string("Could not start the application: ") +
                                  std::strerror(errno)};
  }
  if (pipe2(errorPipe, O_CLOEXEC) != 0) {
    close(pidPipe[0]);
    close(pidPipe[1]);
    return desktop::PlatformError{std::string("Could not start the application: ") +
                                  std::strerror(errno)};
  }
  // Fork twice so that the program belongs to no process of the bridge and never lingers as
  // its zombie; the middle process reports the program's id and ends at once.
  pid_t middle = fork();
  if (middle == 0) {
    setsid();
    pid_t program = fork();
    if (program == 0) {
      close(pidPipe[0]);
      close(pidPipe[1]);
      close(errorPipe[0]);
      becomeProgram(argv.data(), directory, errorPipe[1]);
    }
    (void)!write(pidPipe[1], &program, sizeof program);
    _exit(program > 0 ? 0 : 1);
  }
  close(pidPipe[1]);
  close(errorPipe[1]);
  pid_t program = -1;
  std::size_t gotPid = middle > 0 ? readFully(pidPipe[0], &program, sizeof program) : 0;
  int execError = 0;
  std::size_t gotError = middle > 0 ? readFully(errorPipe[0], &execError, sizeof execError) : 0;
  close(pidPipe[0]);
  close(errorPipe[0]);
  if (middle > 0) {
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (middle < 0 || gotPid != sizeof program || program <= 0) {
    return desktop::PlatformError{"Could not start the application"};
  }
  if (gotError == sizeof execError) {
    return desktop::PlatformError{"Could not start " + arguments.front() + ": " +
                                  std::strerror(execError)};
  }
  return static_cast<desktop::Pid>(program);
}

}  // namespace qor::platform
