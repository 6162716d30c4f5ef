// How fast "app.observe" walks a real window, against python3-pyatspi (Debian's AT-SPI client)
// reading the same attributes of the same elements, in one run on the same applications:
//
// - gtk3-widget-factory, its whole window (target: at least 10 times faster than pyatspi);
// - the project's fixture with a 2,000-row list (target: a median under 150 ms), observed with
//   the default budget (500 elements) and with the largest (2,000).
//
// Run it with:  cmake --build build --target observe_bench && build/bench/observe_bench
// It starts its own private desktop session (scripts/desktop-session.sh) and prints medians.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/json.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using qor::Json;

constexpr int kObserveRuns = 11;
constexpr int kBaselineRuns = 4;  // the first is a warm-up, as for app.observe

const fs::path kSourceRoot = fs::path(__FILE__).parent_path().parent_path();

fs::path buildRoot() {
  return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

// A child process with optional pipes for its standard input and output.
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

// Applications started here print toolkit chatter on standard error; `quiet` drops it.
Child spawn(const std::vector<std::string>& arguments, bool pipeIn, bool pipeOut,
            bool quiet = false) {
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

// Waits (through xdotool --sync) until the program shows a window, and makes it active.
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

// The product executable, spoken to through its pipes.
class Bridge {
 public:
  Bridge() {
    const char* configured = std::getenv("QOR_NATIVE_BINARY");
    child_ = spawn({configured ? configured : (buildRoot() / "qor-native").string()}, true, true);
  }
  ~Bridge() {
    close(child_.in);
    waitpid(child_.pid, nullptr, 0);
    close(child_.out);
  }

  // Sends a request and returns its result and how long the answer took.
  std::pair<Json, double> timed(const std::string& method, const Json& params) {
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

 private:
  Child child_;
  std::string buffered_;
  long long nextID_ = 1;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Figures {
  double observe = 0;
  std::optional<double> baseline;
  long long nodes = 0;
};

Figures measure(Bridge& bridge, pid_t pid, const Json& params, bool withBaseline) {
  Figures figures;
  bridge.timed("app.observe", params);  // warm-up: the toolkit creates its objects once
  std::vector<double> runs;
  for (int i = 0; i < kObserveRuns; ++i) {
    auto [result, ms] = bridge.timed("app.observe", params);
    figures.nodes = result["nodeCount"].get<long long>();
    runs.push_back(ms);
  }
  figures.observe = median(runs);
  if (withBaseline) {
    std::string output = runToEnd(
        {"/usr/bin/python3", (kSourceRoot / "bench" / "pyatspi_baseline.py").string(), "--pid",
         std::to_string(pid), "--max-nodes", std::to_string(figures.nodes), "--max-depth",
         std::to_string(params.value("maxDepth", 12)), "--runs", std::to_string(kBaselineRuns)});
    Json baseline = Json::parse(output);
    std::vector<double> times = baseline["runs"].get<std::vector<double>>();
    times.erase(times.begin());
    figures.baseline = median(times);
    if (baseline["nodes"].get<long long>() != figures.nodes) {
      std::printf("  (pyatspi read %lld elements)\n", baseline["nodes"].get<long long>());
    }
  }
  return figures;
}

void report(const std::string& title, const Figures& figures, const std::string& target) {
  std::printf("%s: %lld elements\n", title.c_str(), figures.nodes);
  std::printf("  app.observe       %8.1f ms   median of %d\n", figures.observe, kObserveRuns);
  if (figures.baseline) {
    std::printf("  pyatspi baseline  %8.1f ms   median of %d\n", *figures.baseline,
                kBaselineRuns - 1);
    std::printf("  ratio             %8.1fx\n", *figures.baseline / figures.observe);
  }
  std::printf("  target: %s\n", target.c_str());
  std::fflush(stdout);
}

std::string loadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one;
  load >> one;
  return one;
}

int benchmark() {
  std::printf("app.observe benchmark, %ld cores, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());
  Bridge bridge;

  Child factory = spawn({"gtk3-widget-factory"}, false, false, true);
  settle(factory.pid);
  Figures whole =
      measure(bridge, factory.pid, {{"bundleId", "gtk3-widget-factory"}, {"maxNodes", 2000}}, true);
  stop(factory);
  report("gtk3-widget-factory, whole window", whole, "at least 10x faster than pyatspi");

  Child fixture = spawn({(buildRoot() / "tests" / "fixture" / "qor_fixture").string(), "--rows",
                         "2000", "--new-instance"},
                        false, true, true);
  std::string buffered;
  readLine(fixture.out, buffered);  // "ready <pid>": its window is mapped
  settle(fixture.pid);
  report("fixture with 2,000 rows, default budget",
         measure(bridge, fixture.pid, {{"bundleId", "dev.qor.Fixture"}}, true),
         "median under 150 ms");
  report("fixture with 2,000 rows, maxNodes 2000",
         measure(bridge, fixture.pid, {{"bundleId", "dev.qor.Fixture"}, {"maxNodes", 2000}}, true),
         "median under 150 ms");
  stop(fixture);
  std::printf("load average afterwards %s\n", loadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("QOR_DESKTOP_SESSION")) {
    std::string script = (kSourceRoot / "scripts" / "desktop-session.sh").string();
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::vector<char*> command = {script.data(), const_cast<char*>("--"), self.data()};
    command.insert(command.end(), argv + 1, argv + argc);
    command.push_back(nullptr);
    execv(script.c_str(), command.data());
    std::perror("observe_bench: cannot start the desktop session");
    return 125;
  }
  try {
    return benchmark();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "observe_bench: %s\n", failure.what());
    return 1;
  }
}
