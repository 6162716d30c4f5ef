// What the MCP layer costs: the same request sent straight to qor-native and as a tools/call
// through qor-mcp (which starts a qor-native of its own), taking turns in the same run, on a
// private desktop with the project's fixture.
//
//   mcp_bench
//
// Figures: medians of "apps.list" against list_apps, and of "app.observe" of the fixture against
// observe; the difference in microseconds and the ratio. Targets: at most 100 µs more for the
// list, at most 20% more for the observation. A third side sends the bridge's own request through
// a relay, this program re-run as a plain line forwarder in front of qor-native: what the extra
// process between client and bridge costs by itself, whatever qor-mcp does.

#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/desktop_bench.h"

namespace {

namespace fs = std::filesystem;
using qor::Json;
using namespace qor::bench;

constexpr int kWarmUp = 5;
constexpr const char* kRelayVariable = "QOR_MCP_BENCH_RELAY";
constexpr int kListRuns = 400;
constexpr int kObserveRuns = 40;

// A program with pipes, spoken to one line at a time. The clock stops when the answer's line has
// arrived: reading it is the client's work, the same for every side.
class LineSpeaker {
 public:
  explicit LineSpeaker(const std::string& program) : child_(spawn({program}, true, true)) {}
  ~LineSpeaker() { stop(child_); }
  LineSpeaker(const LineSpeaker&) = delete;
  LineSpeaker& operator=(const LineSpeaker&) = delete;

  void send(const Json& message) {
    const std::string line = message.dump() + "\n";
    if (write(child_.in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      throw std::runtime_error("cannot write to the program");
    }
  }

  // Sends a request, waits for its answer (the next line) and returns the answer's "result" and
  // how long the answer took, in milliseconds.
  std::pair<Json, double> timed(const Json& request) {
    send(request);
    const auto start = Clock::now();
    const std::string line = readLine(child_.out, buffered_);
    const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    Json answer = Json::parse(line);
    if (!answer.contains("result") || answer["result"].value("isError", false)) {
      throw std::runtime_error("refused: " + line);
    }
    return {answer["result"], elapsed};
  }

 private:
  Child child_;
  std::string buffered_;
};

// The three sides, each asked the same in its own envelope.
struct Speakers {
  LineSpeaker direct{(buildRoot() / "qor-native").string()};
  LineSpeaker relayed{relayProgram()};
  LineSpeaker mcp{(buildRoot() / "qor-mcp").string()};
  long long nextId = 1;

  Speakers() {
    mcp.timed({{"jsonrpc", "2.0"},
               {"id", 0},
               {"method", "initialize"},
               {"params",
                {{"protocolVersion", "2025-11-25"},
                 {"capabilities", Json::object()},
                 {"clientInfo", {{"name", "mcp_bench"}, {"version", "1"}}}}}});
    mcp.send(Json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    unsetenv(kRelayVariable);
  }

  // This program, which the variable makes a relay in front of qor-native.
  static std::string relayProgram() {
    setenv(kRelayVariable, "1", 1);
    return fs::read_symlink("/proc/self/exe").string();
  }
};

// The relay: forwards standard input to a qor-native child and its output back, as read.
int relay() {
  Child bridge = spawn({(buildRoot() / "qor-native").string()}, true, true);
  pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {bridge.out, POLLIN, 0}};
  const int targets[2] = {bridge.in, STDOUT_FILENO};
  std::vector<char> buffer(1 << 16);
  while (watched[1].fd >= 0) {
    poll(watched, 2, -1);
    for (int side = 0; side < 2; ++side) {
      if (watched[side].fd < 0 || watched[side].revents == 0) {
        continue;
      }
      const ssize_t got = read(watched[side].fd, buffer.data(), buffer.size());
      if (got <= 0) {
        watched[side].fd = -1;  // the end of one side ends the other's input
        close(targets[side]);
        continue;
      }
      for (ssize_t done = 0; done < got;) {
        const ssize_t written = write(targets[side], buffer.data() + done, got - done);
        if (written <= 0) {
          return 1;
        }
        done += written;
      }
    }
  }
  waitpid(bridge.pid, nullptr, 0);
  return 0;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Sides {
  std::vector<double> direct;
  std::vector<double> relayed;
  std::vector<double> throughMcp;
};

// Takes turns, so that whatever else the machine does weighs on both sides alike.
Sides compare(Speakers& speakers, const std::string& method, const std::string& tool,
              const Json& arguments, int runs) {
  Sides sides;
  for (int run = 0; run < kWarmUp + runs; ++run) {
    const Json request{{"id", speakers.nextId++}, {"method", method}, {"params", arguments}};
    const double direct = speakers.direct.timed(request).second;
    const double throughRelay = speakers.relayed.timed(request).second;
    const double throughMcp = speakers.mcp
                                  .timed({{"jsonrpc", "2.0"},
                                          {"id", speakers.nextId++},
                                          {"method", "tools/call"},
                                          {"params", {{"name", tool}, {"arguments", arguments}}}})
                                  .second;
    if (run >= kWarmUp) {
      sides.direct.push_back(direct);
      sides.relayed.push_back(throughRelay);
      sides.throughMcp.push_back(throughMcp);
    }
  }
  return sides;
}

void report(const char* title, const Sides& sides, const char* target) {
  const double direct = median(sides.direct);
  const double relayed = median(sides.relayed);
  const double throughMcp = median(sides.throughMcp);
  std::printf("%s, median of %zu each:\n", title, sides.direct.size());
  std::printf("  qor-native directly  %9.1f µs\n", direct * 1000);
  std::printf("  through a relay      %9.1f µs   (the extra process alone: %+.1f µs)\n",
              relayed * 1000, (relayed - direct) * 1000);
  std::printf("  through qor-mcp      %9.1f µs\n", throughMcp * 1000);
  std::printf("  MCP layer adds       %9.1f µs   (%+.1f%%; %+.1f µs more than the relay)\n",
              (throughMcp - direct) * 1000, (throughMcp / direct - 1) * 100,
              (throughMcp - relayed) * 1000);
  std::printf("  target: %s\n", target);
  std::fflush(stdout);
}

int benchmark() {
  std::printf("MCP layer benchmark, %ld cores, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());
  Child fixture =
      spawn({(buildRoot() / "tests" / "fixture" / "qor_fixture").string()}, false, true, true);
  std::string buffered;
  readLine(fixture.out, buffered);  // "ready <pid>": its window is mapped
  settle(fixture.pid);
  {
    Speakers speakers;
    const Json list{{"bundleIds", Json::array({"dev.qor.Fixture"})}};
    report("apps.list / list_apps", compare(speakers, "apps.list", "list_apps", list, kListRuns),
           "at most 100 µs more");
    const Json observe{{"bundleId", "dev.qor.Fixture"}};
    report("app.observe / observe of the fixture",
           compare(speakers, "app.observe", "observe", observe, kObserveRuns), "at most 20% more");
  }
  stop(fixture);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (std::getenv(kRelayVariable) != nullptr) {
    return relay();
  }
  return qor::bench::runInDesktopSession(argc, argv, "mcp_bench", benchmark);
}
