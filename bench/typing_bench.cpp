// How fast the bridge types: 1,000 characters (accented letters, combining marks and emoji among
// them) into the fixture's text view through the product executable, from request to response,
// against `xdotool type --delay 0` typing the same text into the same view in the same run.
// Both results are read back by observing and compared with the text.
//
// Run it with:  cmake --build build --target typing_bench && build/bench/typing_bench
// It starts its own private desktop session (scripts/desktop-session.sh) and prints medians.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
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

constexpr int kRuns = 3;
constexpr int kCharacters = 1000;

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

std::string loadAverage() {
  std::ifstream load("/proc/loadavg");
  std::string one;
  load >> one;
  return one;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// 1,000 user-perceived characters: ASCII, Latin-1 and other accented letters, a letter with a
// combining mark, emoji with and without a skin-tone modifier.
std::string benchmarkText() {
  const std::array<const char*, 20> pieces = {
      "a",      "b",      "c",       "\u00fc",     "\u00e9",
      "\u00df", " ",      "e\u0301", "\U0001F44D", "\U0001F44D\U0001F3FD",
      "x",      "Y",      "z",       "\u00c6",     "\u00f8",
      " ",      "\u0151", "1",       "\u20ac",     "."};
  std::string text;
  for (int i = 0; i < kCharacters; ++i) {
    text += pieces[static_cast<std::size_t>(i) % pieces.size()];
  }
  return text;
}

const Json* findNode(const Json& nodes, const std::string& role) {
  for (const Json& node : nodes) {
    if (node.value("role", "") == role) {
      return &node;
    }
    const Json* inside = node.contains("children") ? findNode(node["children"], role) : nullptr;
    if (inside) {
      return inside;
    }
  }
  return nullptr;
}

struct View {
  Json observed;
  Json click;  // a click into the text view
  std::string text;
};

View observeView(Bridge& bridge) {
  View view;
  view.observed = bridge.timed("app.observe", {{"bundleId", "dev.qor.Fixture"}}).first;
  const Json* area = findNode(view.observed["tree"], "AXTextArea");
  if (!area) {
    throw std::runtime_error("the fixture shows no text view");
  }
  view.text = area->value("value", "");
  const Json& window = view.observed["windows"][0]["frame"];
  const Json& frame = (*area)["frame"];
  view.click = {{"type", "click"},
                {"x", frame["x"].get<double>() - window["x"].get<double>() + 20},
                {"y", frame["y"].get<double>() - window["y"].get<double>() + 10}};
  return view;
}

Json act(const View& view, Json actions) {
  return {{"bundleId", "dev.qor.Fixture"},
          {"observationId", view.observed["observationId"]},
          {"actions", std::move(actions)}};
}

// Empties the text view and leaves the keyboard focus in it.
void clearView(Bridge& bridge) {
  View view = observeView(bridge);
  Json selectAll = {{"type", "key"}, {"key", "a"}, {"modifiers", {"control"}}};
  Json erase = {{"type", "key"}, {"key", "backspace"}};
  bridge.timed("app.act", act(view, Json::array({view.click, selectAll, erase})));
}

// What the view holds once the application has caught up: the same text twice in a row.
std::string settledText(Bridge& bridge, const std::string& expected) {
  std::string last = observeView(bridge).text;
  for (int i = 0; i < 50 && last != expected; ++i) {
    std::string now = observeView(bridge).text;
    if (now == last && i > 5) {
      break;
    }
    last = now;
  }
  return last;
}

int benchmark() {
  std::printf("typing benchmark, %ld cores, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());
  Child fixture =
      spawn({(buildRoot() / "tests" / "fixture" / "qor_fixture").string(), "--new-instance"}, false,
            true, true);
  std::string buffered;
  readLine(fixture.out, buffered);  // "ready <pid>": its window is mapped
  settle(fixture.pid);
  Bridge bridge;
  const std::string text = benchmarkText();
  std::printf("text: %d characters, %zu bytes of UTF-8\n", kCharacters, text.size());

  std::vector<double> bridgeRuns;
  int bridgeExact = 0;
  for (int run = 0; run < kRuns; ++run) {
    clearView(bridge);
    View view = observeView(bridge);
    double ms =
        bridge.timed("app.act", act(view, Json::array({Json{{"type", "type"}, {"text", text}}})))
            .second;
    bridgeRuns.push_back(ms);
    bridgeExact += settledText(bridge, text) == text ? 1 : 0;
  }

  std::vector<double> xdotoolRuns;
  int xdotoolExact = 0;
  for (int run = 0; run < kRuns; ++run) {
    clearView(bridge);
    auto start = Clock::now();
    runToEnd({"xdotool", "type", "--delay", "0", text});
    xdotoolRuns.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    xdotoolExact += settledText(bridge, text) == text ? 1 : 0;
  }
  stop(fixture);

  double bridgeMs = median(bridgeRuns);
  double xdotoolMs = median(xdotoolRuns);
  std::printf(
      "bridge \"type\"         %8.1f ms  %7.0f characters/s  exact %d of %d  (median of %d)\n",
      bridgeMs, kCharacters * 1000.0 / bridgeMs, bridgeExact, kRuns, kRuns);
  std::printf(
      "xdotool type --delay 0 %8.1f ms  %7.0f characters/s  exact %d of %d  (median of %d)\n",
      xdotoolMs, kCharacters * 1000.0 / xdotoolMs, xdotoolExact, kRuns, kRuns);
  std::printf("ratio (xdotool time / bridge time) %.2f\n", xdotoolMs / bridgeMs);
  std::printf("load average afterwards %s\n", loadAverage().c_str());
  return bridgeExact == kRuns ? 0 : 1;
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
    std::perror("typing_bench: cannot start the desktop session");
    return 125;
  }
  try {
    return benchmark();
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "typing_bench: %s\n", failure.what());
    return 1;
  }
}
