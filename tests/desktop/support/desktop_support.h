#pragma once
// Helpers of the desktop tests: programs started in the session (the fixture, stock
// applications, the product executable through pipes) and small X11 chores done with the
// session's own tools.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "core/json.h"

namespace qor::desktoptest {

std::string fixtureBinary();
std::string fixtureDataDirectory();  // holds applications/dev.qor.Fixture.desktop
std::string nativeBinary();

// A program started for one test and stopped (SIGTERM, then SIGKILL) when the test ends.
class Program {
 public:
  Program(const std::vector<std::string>& arguments,
          const std::vector<std::string>& environment = {});
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of the program's standard output, waiting up to `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  bool running();
  // Whether the program ends within `limit` (it is reaped then).
  bool exitsWithin(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string buffered_;
};

// Starts the fixture and waits until its windows are mapped and its main window is active.
std::unique_ptr<Program> startFixture(const std::vector<std::string>& arguments = {});
// Starts a stock program and waits until it shows a window and that window is active.
std::unique_ptr<Program> startStock(const std::vector<std::string>& arguments,
                                    const std::vector<std::string>& environment = {});

// The product executable with its standard input and output as pipes.
class Bridge {
 public:
  explicit Bridge(const std::vector<std::string>& environment = {});
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Sends one request and returns the response that carries its id (the whole response
  // object), waiting up to `limit`.
  Json request(const std::string& method, const Json& params = Json::object(),
               std::chrono::milliseconds limit = std::chrono::seconds(20));
  // Sends one request without waiting; response() reads its answer later.
  long long send(const std::string& method, const Json& params = Json::object());
  Json response(long long id, std::chrono::milliseconds limit = std::chrono::seconds(20));
  pid_t pid() const { return pid_; }
  // The ids of the responses read so far, in the order the bridge wrote them.
  const std::vector<long long>& arrivals() const { return arrivals_; }
  // Closes standard input and returns the exit status.
  int finish();
  std::string standardError();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int error_ = -1;
  std::string buffered_;
  long long nextID_ = 1;
  std::map<long long, Json> unclaimed_;  // answers read while waiting for another one
  std::vector<long long> arrivals_;
};

// The bundle identifier the bridge gives the running application `pid` ("" when not listed).
std::string bundleIdOf(Bridge& bridge, pid_t pid);

// Every node of an observation's "tree", depth first, pre-order.
std::vector<Json> allNodes(const Json& tree);
// The nodes for which `matches` holds.
std::vector<Json> nodesWhere(const Json& tree, const std::function<bool(const Json&)>& matches);

// A click action at the centre of a node's frame, in points of the observation's first window.
Json clickAt(const Json& observed, const Json& target, Json extra = Json::object());

// The "result" of a response; when it has none, a failure of the test and an empty object. A
// copy, so that looking up what it lacks finds null rather than reading past a const object.
Json result(const Json& response);
// The "error" of a response; when it has none, a failure of the test and an empty object.
Json failure(const Json& response);
// The error code of a response; empty when it has none.
std::string errorCode(const Json& response);

// How long a test waits for what it expects to see. Only a failing test waits this long; a
// machine busy with other work may need many seconds for what takes milliseconds when idle.
inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(20);
// How long a program may take to show its first window: a browser started on a busy machine
// takes tens of seconds.
inline constexpr std::chrono::milliseconds kStartPatience = std::chrono::minutes(2);
// Between two looks the program looked at gets the processor.
inline constexpr std::chrono::milliseconds kBetweenLooks{20};

// The one way a desktop test waits: looks (calls `look`) until `done` holds of what it saw or
// `limit` has passed, and gives the last look. Other programs (the bridge, the application, the
// window manager) act in their own time, so a test goes on only once it sees what it needs.
template <typename Look, typename Done>
std::invoke_result_t<Look&> waitUntil(Look look, Done done,
                                      std::chrono::milliseconds limit = kPatience) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto seen = look();
  while (!done(seen) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kBetweenLooks);
    seen = look();
  }
  return seen;
}

// Whether `holds` becomes true within `limit`.
template <typename Holds>
bool waitUntil(Holds holds, std::chrono::milliseconds limit = kPatience) {
  return waitUntil(
      holds, [](bool held) { return held; }, limit);
}

// Observes until `done` holds of the observation: input the bridge posts reaches the application
// after the bridge has answered, so its effect may show only in a later observation. `params`
// are the "app.observe" parameters, or just a bundle identifier. The last observation's "result".
Json observeUntil(Bridge& bridge, const Json& params, const std::function<bool(const Json&)>& done,
                  std::chrono::milliseconds limit = kPatience);

// The frame of an observation's first window; an empty object when it has none.
Json windowFrame(const Json& observed);

// The active window as xdotool reports it (decimal), when there is one.
std::optional<std::string> activeWindow();

// Ends a process that is not a child of the test (SIGTERM, SIGKILL after two seconds).
void endProcess(pid_t pid);

// Runs a command to its end and returns its standard output (nothing when it fails).
std::optional<std::string> run(const std::vector<std::string>& arguments);

// Makes `directory` a Firefox profile that opens the page it is given at once (no first-run
// pages, no default-browser question) with its accessibility tree exported.
void writeFirefoxProfile(const std::string& directory);

// Top-level client windows of a process, as xdotool finds them.
std::vector<unsigned long> windowsOf(pid_t pid);

}  // namespace qor::desktoptest
