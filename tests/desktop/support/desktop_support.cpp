#include "desktop/support/desktop_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace qor::desktoptest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** each = environ; *each; ++each) {
    std::string entry = *each;
    std::string key = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& override : overrides) {
      overridden = overridden || override.substr(0, override.find('=')) == key;
    }
    if (!overridden) {
      merged.push_back(entry);
    }
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& each : strings) {
    out.push_back(each.data());
  }
  out.push_back(nullptr);
  return out;
}

// Spawns with the given descriptors as standard input, output and error (-1: /dev/null).
pid_t spawn(std::vector<std::string> arguments, const std::vector<std::string>& environment, int in,
            int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  int sources[3] = {in, out, err};
  for (int i = 0; i < 3; ++i) {
    if (sources[i] >= 0) {
      posix_spawn_file_actions_adddup2(&actions, sources[i], targets[i]);
    } else {
      posix_spawn_file_actions_addopen(&actions, targets[i], "/dev/null", O_RDWR, 0);
    }
  }
  std::vector<std::string> env = mergedEnvironment(environment);
  std::vector<char*> argv = pointers(arguments);
  std::vector<char*> envp = pointers(env);
  pid_t pid = -1;
  int status = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (status != 0) {
    throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(status));
  }
  return pid;
}

// Reads one line from `fd` into `line`, keeping what follows in `buffered`, until `deadline`.
bool readLineUntil(int fd, std::string& buffered, std::string& line, Clock::time_point deadline) {
  for (;;) {
    std::size_t newline = buffered.find('\n');
    if (newline != std::string::npos) {
      line = buffered.substr(0, newline);
      buffered.erase(0, newline + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
      continue;
    }
    char chunk[65536];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got <= 0) {
      return false;
    }
    buffered.append(chunk, static_cast<std::size_t>(got));
  }
}

void stop(pid_t pid) {
  if (pid > 0) {
    endProcess(pid);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace

// Asks a process to end and waits up to two seconds for it (its pidfd becomes readable when
// it exits) before killing it.
void endProcess(pid_t pid) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  kill(pid, SIGTERM);
  pollfd exited{pidfd, POLLIN, 0};
  if (pidfd < 0 || poll(&exited, 1, 2000) <= 0) {
    kill(pid, SIGKILL);
  }
  if (pidfd >= 0) {
    close(pidfd);
  }
}

std::string fixtureBinary() {
  return QOR_FIXTURE_BINARY;
}
std::string fixtureDataDirectory() {
  return QOR_FIXTURE_DATA_DIR;
}
std::string nativeBinary() {
  const char* path = std::getenv("QOR_NATIVE_BINARY");
  return path ? path : "";
}

Program::Program(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  pid_ = spawn(arguments, environment, -1, pipeFds[1], -1);
  close(pipeFds[1]);
  output_ = pipeFds[0];
}

Program::~Program() {
  stop(pid_);
  close(output_);
}

std::optional<std::string> Program::readLine(std::chrono::milliseconds limit) {
  std::string line;
  if (!readLineUntil(output_, buffered_, line, Clock::now() + limit)) {
    return std::nullopt;
  }
  return line;
}

bool Program::running() {
  return waitpid(pid_, nullptr, WNOHANG) == 0;
}

// The pidfd becomes readable when the process ends.
bool Program::exitsWithin(std::chrono::milliseconds limit) {
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd < 0) {
    return !running();
  }
  pollfd exited{pidfd, POLLIN, 0};
  bool ended = poll(&exited, 1, static_cast<int>(limit.count())) > 0;
  close(pidfd);
  if (ended) {
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  return ended;
}

namespace {

// Waits until the program's first window exists, then activates it and waits until the window
// manager has made it the active window, so that tests start from a settled desktop. The
// xdotool --sync options do the waiting; timeout bounds it.
void settle(const Program& program) {
  // xdotool gives up when a window of another program disappears while it searches; that is
  // no answer, so it asks again (each attempt itself waits for the window).
  std::optional<std::string> found = waitUntil(
      [&] {
        return run({"timeout", "20", "xdotool", "search", "--sync", "--onlyvisible", "--pid",
                    std::to_string(program.pid())});
      },
      [](const std::optional<std::string>& listed) { return listed.has_value(); }, kStartPatience);
  std::istringstream windows(found.value_or(""));
  std::string first;
  if (!(windows >> first)) {
    throw std::runtime_error("the program shows no window");
  }
  // Without a window manager nobody activates windows: the window that holds the input focus
  // is the one in front.
  const char* manager = std::getenv("QOR_WINDOW_MANAGER");
  if (manager && std::string_view(manager) == "none") {
    run({"timeout", "20", "xdotool", "windowfocus", "--sync", first});
    waitUntil([&] { return run({"xdotool", "getwindowfocus"}) == first + "\n"; });
    return;
  }
  // windowactivate --sync gives up after a while on a busy machine: the test goes on only once
  // the window is seen in front.
  run({"timeout", "20", "xdotool", "windowactivate", "--sync", first});
  waitUntil([&] { return activeWindow() == first; });
}

}  // namespace

std::unique_ptr<Program> startFixture(const std::vector<std::string>& arguments) {
  std::vector<std::string> command = {fixtureBinary()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  auto program = std::make_unique<Program>(command);
  std::optional<std::string> ready = program->readLine(std::chrono::seconds(20));
  if (!ready || !ready->starts_with("ready ")) {
    throw std::runtime_error("the fixture did not become ready");
  }
  settle(*program);
  return program;
}

std::unique_ptr<Program> startStock(const std::vector<std::string>& arguments,
                                    const std::vector<std::string>& environment) {
  auto program = std::make_unique<Program>(arguments, environment);
  settle(*program);
  return program;
}

Bridge::Bridge(const std::vector<std::string>& environment) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe");
  }
  pid_ = spawn({nativeBinary()}, environment, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  input_ = in[1];
  output_ = out[0];
  error_ = err[0];
}

Bridge::~Bridge() {
  if (input_ >= 0) {
    close(input_);
  }
  stop(pid_);
  close(output_);
  close(error_);
}

Json Bridge::request(const std::string& method, const Json& params,
                     std::chrono::milliseconds limit) {
  return response(send(method, params), limit);
}

long long Bridge::send(const std::string& method, const Json& params) {
  long long id = nextID_++;
  Json request = {{"id", id}, {"method", method}, {"params", params}};
  std::string line = request.dump() + "\n";
  if (write(input_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    throw std::runtime_error("cannot write to the bridge");
  }
  return id;
}

Json Bridge::response(long long id, std::chrono::milliseconds limit) {
  if (auto early = unclaimed_.find(id); early != unclaimed_.end()) {
    Json response = std::move(early->second);
    unclaimed_.erase(early);
    return response;
  }
  auto deadline = Clock::now() + limit;
  std::string answer;
  while (readLineUntil(output_, buffered_, answer, deadline)) {
    Json response = Json::parse(answer, nullptr, false);
    if (!response.is_object() || !response.value("id", Json()).is_number_integer()) {
      continue;
    }
    arrivals_.push_back(response["id"].get<long long>());
    if (response["id"] == Json(id)) {
      return response;
    }
    unclaimed_[response["id"].get<long long>()] = std::move(response);
  }
  throw std::runtime_error("no answer to request " + std::to_string(id));
}

int Bridge::finish() {
  close(input_);
  input_ = -1;
  // The bridge closes its output when it exits; reading to the end waits for exactly that.
  std::string rest;
  while (readLineUntil(output_, buffered_, rest, Clock::now() + std::chrono::seconds(20))) {
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Bridge::standardError() {
  std::string text;
  fcntl(error_, F_SETFL, O_NONBLOCK);
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(error_, chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  return text;
}

std::string bundleIdOf(Bridge& bridge, pid_t pid) {
  Json listed = bridge.request("apps.list");
  for (const Json& app : listed["result"]["applications"]) {
    if (app.value("pid", Json()) == Json(pid)) {
      return app.value("bundleId", "");
    }
  }
  return "";
}

std::vector<Json> allNodes(const Json& tree) {
  std::vector<Json> nodes;
  std::function<void(const Json&)> visit = [&](const Json& list) {
    for (const Json& node : list) {
      nodes.push_back(node);
      if (node.contains("children")) {
        visit(node["children"]);
      }
    }
  };
  visit(tree);
  return nodes;
}

std::vector<Json> nodesWhere(const Json& tree, const std::function<bool(const Json&)>& matches) {
  std::vector<Json> found;
  for (const Json& node : allNodes(tree)) {
    if (matches(node)) {
      found.push_back(node);
    }
  }
  return found;
}

Json clickAt(const Json& observed, const Json& target, Json extra) {
  const Json& window = observed["windows"][0]["frame"];
  const Json& frame = target["frame"];
  extra["type"] = "click";
  extra["x"] =
      frame["x"].get<double>() - window["x"].get<double>() + frame["width"].get<double>() / 2;
  extra["y"] =
      frame["y"].get<double>() - window["y"].get<double>() + frame["height"].get<double>() / 2;
  return extra;
}

std::optional<std::string> run(const std::vector<std::string>& arguments) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    return std::nullopt;
  }
  pid_t pid = spawn(arguments, {}, -1, out[1], -1);
  close(out[1]);
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(out[0], chunk, sizeof chunk)) > 0) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return std::nullopt;
  }
  return text;
}

Json result(const Json& response) {
  EXPECT_TRUE(response.contains("result")) << response.dump();
  return response.value("result", Json::object());
}

Json failure(const Json& response) {
  EXPECT_TRUE(response.contains("error")) << response.dump();
  return response.value("error", Json::object());
}

std::string errorCode(const Json& response) {
  return response.contains("error") ? response["error"].value("code", "") : "";
}

Json observeUntil(Bridge& bridge, const Json& params, const std::function<bool(const Json&)>& done,
                  std::chrono::milliseconds limit) {
  const Json request = params.is_string() ? Json{{"bundleId", params}} : params;
  auto observe = [&] {
    return bridge.request("app.observe", request).value("result", Json::object());
  };
  return waitUntil(observe, done, limit);
}

Json windowFrame(const Json& observed) {
  const Json windows = observed.value("windows", Json::array());
  return windows.empty() ? Json::object() : windows[0].value("frame", Json::object());
}

std::optional<std::string> activeWindow() {
  std::optional<std::string> active = run({"xdotool", "getactivewindow"});
  if (active && !active->empty() && active->back() == '\n') {
    active->pop_back();
  }
  return active;
}

void writeFirefoxProfile(const std::string& directory) {
  std::filesystem::create_directories(directory);
  std::ofstream(directory + "/user.js") << R"(user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("browser.aboutwelcome.enabled", false);
user_pref("browser.startup.homepage_override.mstone", "ignore");
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("toolkit.telemetry.reportingpolicy.firstRun", false);
user_pref("accessibility.force_disabled", -1);
)";
}

std::vector<unsigned long> windowsOf(pid_t pid) {
  std::vector<unsigned long> windows;
  std::optional<std::string> found = waitUntil(  // see settle()
      [&] {
        return run({"xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)});
      },
      [](const std::optional<std::string>& listed) { return listed.has_value(); });
  std::istringstream lines(found.value_or(""));
  unsigned long window = 0;
  while (lines >> window) {
    windows.push_back(window);
  }
  return windows;
}

}  // namespace qor::desktoptest
