#include "support/desktop_bench.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qor::bench {

namespace fs = std::filesystem;

fs::path sourceRoot() {
  return fs::path(__FILE__).parent_path().parent_path().parent_path();
}

fs::path buildRoot() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

Child spawn(const std::vector<std::string>& arguments, bool pipeIn, bool pipeOut, bool quiet) {
  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if ((pipeIn && pipe2(inPipe, O_CLOEXEC)) || (pipeOut && pipe2(outPipe, O_CLOEXEC))) {
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (pipeIn) {
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], STDIN_FILENO);
  }
  if (pipeOut) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  Child child;
  if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot start " + arguments.front());
  }
  posix_spawn_file_actions_destroy(&actions);
  if (pipeIn) {
    close(inPipe[0]);
    child.in = inPipe[1];
  }
  if (pipeOut) {
    close(outPipe[1]);
    child.out = outPipe[0];
  }
  return child;
}

std::string readLine(int fd, std::string& buffered) {
  for (;;) {
    std::size_t newline = buffered.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return line;
    }
    char chunk[1 << 16];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) {
      throw std::runtime_error("a child process stopped answering");
    }
    buffered.append(chunk, static_cast<std::size_t>(got));
  }
}

std::string runToEnd(const std::vector<std::string>& arguments) {
  Child child = spawn(arguments, false, true);
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(child.out, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(child.out);
  waitpid(child.pid, nullptr, 0);
  return text;
}

void stop(Child& child) {
  if (child.pid > 0) {
    kill(child.pid, SIGTERM);
    waitpid(child.pid, nullptr, 0);
    child.pid = -1;
  }
}

void settle(pid_t pid) {
  std::string found;
  for (int attempt = 0; attempt < 5 && found.empty(); ++attempt) {
    found = runToEnd({"timeout", "30", "xdotool", "search", "--sync", "--onlyvisible", "--pid",
                      std::to_string(pid)});
  }
  std::istringstream windows(found);
  std::string first;
  if (!(windows >> first)) {
    throw std::runtime_error("the application shows no window");
  }
  runToEnd({"timeout", "30", "xdotool", "windowactivate", "--sync", first});
}

Bridge::Bridge() {
  const char* configured = std::getenv("QOR_NATIVE_BINARY");
  child_ = spawn({configured ? configured : (buildRoot() / "qor-native").string()}, true, true);
}

Bridge::~Bridge() {
  close(child_.in);
  waitpid(child_.pid, nullptr, 0);
  close(child_.out);
}

std::pair<Json, double> Bridge::timed(const std::string& method, const Json& params) {
  Json request = {{"id", nextID_++}, {"method", method}, {"params", params}};
  std::string line = request.dump() + "\n";
  auto start = Clock::now();
  if (write(child_.in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    throw std::runtime_error("cannot write to the bridge");
  }
  Json response = Json::parse(readLine(child_.out, buffered_));
  double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  if (!response.contains("result")) {
    throw std::runtime_error(method + " failed: " + response.dump());
  }
  return {response["result"], elapsed};
}

std::string loadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one;
  load >> one;
  return one;
}

int runInDesktopSession(int argc, char** argv, const char* name,
                        const std::function<int()>& benchmark) {
  if (!std::getenv("QOR_DESKTOP_SESSION")) {
    std::string script = (sourceRoot() / "scripts" / "desktop-session.sh").string();
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<char*> command = {script.data(), const_cast<char*>("--"), self.data()};
    command.insert(command.end(), argv + 1, argv + argc);
    command.push_back(nullptr);
    execv(script.c_str(), command.data());
    std::fprintf(stderr, "%s: cannot start the desktop session\n", name);
    return 125;
  }
  try {
    return benchmark();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "%s: %s\n", name, failure.what());
    return 1;
  }
}

}  // namespace qor::bench
