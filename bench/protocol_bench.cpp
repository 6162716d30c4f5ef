// The protocol through real pipes, against a floor measured in the same run: this program
// re-executed as a trivial line echo ("--echo"), driven through the same kind of pipes.
//
//   protocol_bench [--only=latency|throughput|large] [path/to/qor-native]
//
// Without a path the bridge is looked for next to this program's build folder.
//
// Figures: round trip of one "capabilities" request (median and 99th percentile), sustained
// throughput of 100,000 small requests written at once, and the time to answer one request of
// exactly 2 MiB. Round trips are measured with this program and both children on one processor.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kRoundTrips = 10'000;
constexpr int kRoundTripBlocks = 10;  // the two programs take turns, so load hits both alike
constexpr int kWarmUp = 500;
constexpr int kFlood = 100'000;
constexpr int kLargeRepeats = 20;
constexpr std::size_t kLargeLine = 2'097'152;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// ---- Echo mode: the floor -----------------------------------------------------------------------

// Writes back every line as soon as it is complete, with plain read and write.
int echo() {
  std::vector<char> buffer(1 << 16);
  std::string pending;
  for (;;) {
    ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return 0;
    }
    // Only the bytes just read can hold the newline that completes a line.
    const char* newline =
        static_cast<const char*>(memrchr(buffer.data(), '\n', static_cast<std::size_t>(got)));
    std::size_t before = pending.size();
    pending.append(buffer.data(), static_cast<std::size_t>(got));
    if (newline == nullptr) {
      continue;
    }
    std::size_t end = before + static_cast<std::size_t>(newline - buffer.data());
    std::string_view out(pending.data(), end + 1);
    while (!out.empty()) {
      ssize_t written = write(STDOUT_FILENO, out.data(), out.size());
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        return 1;
      }
      out.remove_prefix(static_cast<std::size_t>(written));
    }
    pending.erase(0, end + 1);
  }
}

// ---- A child on pipes ---------------------------------------------------------------------------

class Child {
 public:
  Child(const std::string& program, std::vector<std::string> arguments, const fs::path& temporary) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
      fail("pipe2");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    arguments.insert(arguments.begin(), program);
    std::vector<char*> argv;
    for (std::string& each : arguments) {
      argv.push_back(each.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment{"TMPDIR=" + temporary.string()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
      std::string_view text(*entry);
      if (!text.starts_with("TMPDIR=") && !text.starts_with("DISPLAY=") &&
          !text.starts_with("WAYLAND_DISPLAY=")) {
        environment.emplace_back(text);
      }
    }
    std::vector<char*> envp;
    for (std::string& each : environment) {
      envp.push_back(each.data());
    }
    envp.push_back(nullptr);
    int spawned = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (spawned != 0) {
      errno = spawned;
      fail("posix_spawn " + program);
    }
  }
  ~Child() {
    closeInput();
    int status = 0;
    waitpid(pid_, &status, 0);
    close(output_);
  }

  void closeInput() {
    if (input_ >= 0) {
      close(input_);
      input_ = -1;
    }
  }

  void write(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t written = ::write(input_, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written <= 0) {
        fail("write to child");
      }
      bytes.remove_prefix(static_cast<std::size_t>(written));
    }
  }

  // Reads until `lines` more newlines have arrived; returns the bytes of the last line.
  std::string readLines(std::size_t lines) {
    std::string last;
    while (lines > 0) {
      if (start_ == end_) {
        ssize_t got = read(output_, buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) {
          continue;
        }
        if (got <= 0) {
          fail("the child closed its output");
        }
        start_ = 0;
        end_ = static_cast<std::size_t>(got);
      }
      const char* from = buffer_.data() + start_;
      const char* newline = static_cast<const char*>(std::memchr(from, '\n', end_ - start_));
      std::size_t taken = newline ? static_cast<std::size_t>(newline - from) + 1 : end_ - start_;
      if (lines == 1) {
        last.append(from, taken);
      }
      start_ += taken;
      if (newline) {
        --lines;
        if (lines > 0) {
          last.clear();
        }
      }
    }
    return last;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

// ---- Measurements -------------------------------------------------------------------------------

double microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double percentile(std::vector<double> samples, double p) {
  std::sort(samples.begin(), samples.end());
  std::size_t index = static_cast<std::size_t>(p * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[index];
}

std::string request(int id) {
  return R"({"id":)" + std::to_string(id) + R"(,"method":"capabilities"})" + "\n";
}

void roundTrips(Child& child, int count, std::vector<double>& samples) {
  for (int i = 0; i < count; ++i) {
    std::string line = request(i);
    auto start = Clock::now();
    child.write(line);
    child.readLines(1);
    samples.push_back(microseconds(Clock::now() - start));
  }
}

// Writes every request from a second thread while this one reads the responses.
double floodSeconds(Child& child, const std::string& requests, int count) {
  auto start = Clock::now();
  std::thread writer([&] { child.write(requests); });
  child.readLines(static_cast<std::size_t>(count));
  auto elapsed = Clock::now() - start;
  writer.join();
  return std::chrono::duration<double>(elapsed).count();
}

std::string largeRequest() {
  std::string head = R"({"id":"large","method":"capabilities","params":{"pad":")";
  std::string tail = R"("}})";
  return head + std::string(kLargeLine - head.size() - tail.size(), 'x') + tail + "\n";
}

std::vector<double> largeMilliseconds(Child& child, const std::string& line) {
  std::vector<double> samples;
  for (int i = 0; i < kLargeRepeats; ++i) {
    auto start = Clock::now();
    std::thread writer([&] { child.write(line); });
    child.readLines(1);
    auto elapsed = Clock::now() - start;
    writer.join();
    samples.push_back(std::chrono::duration<double, std::milli>(elapsed).count());
  }
  return samples;
}

struct Options {
  std::string only;  // one measurement, or all when empty
  fs::path bridge;
};

Options parseOptions(int argc, char** argv, const fs::path& self) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string_view argument(argv[i]);
    if (argument.starts_with("--only=")) {
      options.only = argument.substr(7);
    } else {
      options.bridge = argument;
    }
  }
  if (options.bridge.empty()) {
    fs::path here = self.parent_path();
    for (fs::path candidate : {here / "qor-native", here.parent_path() / "qor-native"}) {
      if (fs::exists(candidate)) {
        options.bridge = candidate;
      }
    }
  }
  if (options.bridge.empty()) {
    throw std::runtime_error("qor-native not found; pass its path as an argument");
  }
  return options;
}

struct ScratchDirectory {
  fs::path path;
  ScratchDirectory() {
    std::string pattern = (fs::temp_directory_path() / "qor-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      fail("mkdtemp");
    }
    path = pattern;
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

// Keeps this thread, and the children it starts, on the processor it runs on now. A round trip
// is mostly two wake-ups: left free, the scheduler may keep a child on another processor that
// sleeps between requests, and waking a sleeping virtual processor costs several times the whole
// round trip, so chance decided which of the two programs looked slower.
class OnOneProcessor {
 public:
  OnOneProcessor() {
    cpu_set_t one;
    CPU_ZERO(&one);
    processor_ = sched_getcpu();
    CPU_SET(processor_, &one);
    pinned_ = sched_getaffinity(0, sizeof saved_, &saved_) == 0 &&
              sched_setaffinity(0, sizeof one, &one) == 0;
  }
  ~OnOneProcessor() {
    if (pinned_) {
      sched_setaffinity(0, sizeof saved_, &saved_);
    }
  }
  OnOneProcessor(const OnOneProcessor&) = delete;
  OnOneProcessor& operator=(const OnOneProcessor&) = delete;

  std::string description() const {
    return pinned_ ? "all on processor " + std::to_string(processor_) : "processors left free";
  }

 private:
  cpu_set_t saved_;
  int processor_ = 0;
  bool pinned_ = false;
};

void measureLatency(const fs::path& self, const fs::path& bridgePath, const fs::path& temporary) {
  std::vector<double> echoTrips, bridgeTrips;
  std::string placement;
  {
    OnOneProcessor pinned;
    placement = pinned.description();
    Child echoChild(self, {"--echo"}, temporary);
    Child bridge(bridgePath, {}, temporary);
    std::vector<double> discarded;
    roundTrips(echoChild, kWarmUp, discarded);
    roundTrips(bridge, kWarmUp, discarded);
    for (int block = 0; block < kRoundTripBlocks; ++block) {
      roundTrips(echoChild, kRoundTrips / kRoundTripBlocks, echoTrips);
      roundTrips(bridge, kRoundTrips / kRoundTripBlocks, bridgeTrips);
    }
  }
  double echoMedian = percentile(echoTrips, 0.5);
  double bridgeMedian = percentile(bridgeTrips, 0.5);
  std::printf("round trip of one request, %d sequential requests (microseconds; %s)\n", kRoundTrips,
              placement.c_str());
  std::printf("  %-28s median %8.1f   p99 %8.1f\n", "echo (floor)", echoMedian,
              percentile(echoTrips, 0.99));
  std::printf("  %-28s median %8.1f   p99 %8.1f\n", "qor-native capabilities", bridgeMedian,
              percentile(bridgeTrips, 0.99));
  std::printf("  ratio of medians %.2f (target at most 1.5)\n\n", bridgeMedian / echoMedian);
}

void measureThroughput(const fs::path& self, const fs::path& bridgePath,
                       const fs::path& temporary) {
  std::string flood;
  for (int i = 0; i < kFlood; ++i) {
    flood += request(i);
  }
  double echoSeconds, bridgeSeconds;
  {
    Child echoChild(self, {"--echo"}, temporary);
    echoSeconds = floodSeconds(echoChild, flood, kFlood);
  }
  {
    Child bridge(bridgePath, {}, temporary);
    bridgeSeconds = floodSeconds(bridge, flood, kFlood);
  }
  std::printf("throughput, %d capabilities requests written at once\n", kFlood);
  std::printf("  %-28s %10.0f requests/s  (%.3f s)\n", "echo (floor)", kFlood / echoSeconds,
              echoSeconds);
  std::printf("  %-28s %10.0f requests/s  (%.3f s; target at least 100000/s)\n\n", "qor-native",
              kFlood / bridgeSeconds, bridgeSeconds);
}

void measureLarge(const fs::path& self, const fs::path& bridgePath, const fs::path& temporary) {
  std::string large = largeRequest();
  std::vector<double> echoLarge, bridgeLarge;
  {
    Child echoChild(self, {"--echo"}, temporary);
    echoLarge = largeMilliseconds(echoChild, large);
  }
  {
    Child bridge(bridgePath, {}, temporary);
    bridgeLarge = largeMilliseconds(bridge, large);
  }
  std::printf("one request of exactly %zu bytes, %d times (milliseconds)\n", kLargeLine,
              kLargeRepeats);
  std::printf("  %-28s median %8.2f   max %8.2f\n", "echo (floor)", percentile(echoLarge, 0.5),
              percentile(echoLarge, 1.0));
  std::printf("  %-28s median %8.2f   max %8.2f  (target under 10)\n", "qor-native",
              percentile(bridgeLarge, 0.5), percentile(bridgeLarge, 1.0));
}

int run(int argc, char** argv) {
  fs::path self = fs::canonical("/proc/self/exe");
  Options options = parseOptions(argc, argv, self);
  const fs::path& bridgePath = options.bridge;
  auto wanted = [&](std::string_view name) { return options.only.empty() || options.only == name; };
  ScratchDirectory temporary;
  std::printf("bridge: %s\n\n", bridgePath.c_str());

  if (wanted("latency")) {
    measureLatency(self, bridgePath, temporary.path);
  }
  if (wanted("throughput")) {
    measureThroughput(self, bridgePath, temporary.path);
  }
  if (wanted("large")) {
    measureLarge(self, bridgePath, temporary.path);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string_view(argv[1]) == "--echo") {
    return echo();
  }
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "protocol_bench: %s\n", error.what());
    return 1;
  }
}
