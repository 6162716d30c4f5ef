// Feeds arbitrary request lines to an in-process bridge on the simulated desktop with a virtual
// clock, runs every operation to its end, and checks after every input what the controller relies
// on: one well-formed response per line, ids answered as often as they were asked, and a runtime
// left with nothing registered, no batch lock held, at most 32 observations and only its own
// capture files, which all disappear at the orderly exit.
//
// The input is split into lines at "\n" (a trailing "\r" is dropped, as the reader does). Lines
// go to receive() one at a time; after each, the loop runs what became ready without moving the
// clock, so later lines meet earlier operations suspended at their waits.
//
// Two conveniences let a short input reach deep paths (docs/FUZZING.md lists them):
// - In request lines, $OBS becomes the latest observation id answered, $PATH the latest capture
//   file, $DIR the capture directory and $DOC a directory holding the documents a.txt and b.txt.
// - Lines starting with "#" are directives to the simulated world instead of requests: "#t<ms>"
//   moves the clock, "#drain" runs every timer, "#user" is the user touching the mouse, "#move"
//   moves the editor's window by 2 points, "#front" swaps the frontmost application, "#lock"
//   toggles the screen lock, "#hold" keeps asynchronous platform calls pending, "#release"
//   completes one of each, "#deny" toggles the permissions, "#quit" quits the editor, "#end"
//   closes standard input (later lines are not read, as in the real process).

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/native_runtime.h"
#include "bridge_world.h"
#include "core/failure_codes.h"
#include "core/json.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::fuzzing {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fault(const std::string& what, std::string_view context = {}) {
  std::fprintf(stderr, "bridge_fuzzer: %s\n", what.c_str());
  if (!context.empty()) {
    std::fprintf(stderr, "  at: %.*s\n",
                 static_cast<int>(std::min<std::size_t>(context.size(), 2000)), context.data());
  }
  std::abort();
}

void require(bool condition, const std::string& what, std::string_view context = {}) {
  if (!condition) {
    fault(what, context);
  }
}

// ---- Scratch directories, made once per process ------------------------------------------------

struct Scratch {
  fs::path root;
  fs::path temporary;  // where each runtime makes its capture directory
  fs::path documents;  // existing files that "app.openDocuments" may name

  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "qor-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      fault("mkdtemp failed");
    }
    root = pattern;
    temporary = root / "tmp";
    documents = root / "docs";
    fs::create_directories(temporary);
    fs::create_directories(documents);
    std::ofstream(documents / "a.txt") << "a";
    std::ofstream(documents / "b.txt") << "b";
  }
};

Scratch& scratch() {
  static Scratch* made = [] {
    auto* created = new Scratch();
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(scratch().root, ignored);
    });
    return created;
  }();
  return *made;
}

// ---- The shape of every response ---------------------------------------------------------------

// Failures that only an action batch raises, and so always carry its progress.
const std::set<std::string, std::less<>> kBatchOnlyCodes = {
    "userTakeover", "userInputRequired", "accessibilityActionFailed", "inputUnavailable"};

const std::set<std::string, std::less<>> kDetailKeys = {"permission",       "bundleId",   "reason",
                                                        "focused",          "axError",    "status",
                                                        "completedActions", "failedIndex"};

// Descriptions of the platform failures this world can produce; any other "operationFailed" is
// an exception that escaped a handler by mistake.
const std::vector<std::string_view> kPlatformFailures = {
    "The window is no longer available for capture", "The application at ",
    "The Apple Event timed out",
    "Could not protect the capture file: ", "The capture file could not be removed: "};

void checkError(const Json& error, std::string_view line) {
  require(error.is_object() && error.size() == 3 && error.contains("code") &&
              error.contains("details") && error.contains("message"),
          "error is not {code, details, message}", line);
  const Json& code = error["code"];
  const Json& details = error["details"];
  const Json& message = error["message"];
  require(code.is_string() && isFailureCode(code.get_ref<const std::string&>()),
          "unknown error code", line);
  require(details.is_object(), "details is not an object", line);
  require(message.is_string() && !message.get_ref<const std::string&>().empty(),
          "message is not a non-empty string", line);
  for (const auto& [key, value] : details.items()) {
    require(kDetailKeys.contains(key), "unknown details key " + key, line);
  }
  const std::string& text = message.get_ref<const std::string&>();
  if (code == "operationFailed") {
    bool known = std::any_of(kPlatformFailures.begin(), kPlatformFailures.end(),
                             [&](std::string_view prefix) { return text.starts_with(prefix); });
    require(known, "an unexpected exception became operationFailed", line);
  }
  if (kBatchOnlyCodes.contains(code.get_ref<const std::string&>()) ||
      details.contains("failedIndex") || details.contains("completedActions")) {
    require(details.contains("completedActions") && details["completedActions"].is_array() &&
                details.contains("failedIndex") && details["failedIndex"].is_number_integer(),
            "a batch failure without its progress", line);
  }
}

// The parsed response, after checking that the line is one canonical JSON object of one of the
// two shapes, keys sorted, ending in exactly one newline.
Json checkedResponse(std::string_view line) {
  require(!line.empty() && line.back() == '\n', "response does not end in a newline", line);
  std::string_view body = line.substr(0, line.size() - 1);
  require(body.find('\n') == std::string_view::npos, "response spans several lines", line);
  std::optional<Json> parsed = wire::parse(body);
  require(parsed.has_value() && parsed->is_object(), "response is not a JSON object", line);
  require(wire::serialize(*parsed) == body, "response is not in canonical sorted form", line);
  if (parsed->contains("result")) {
    require(parsed->size() == 2 && parsed->contains("id"), "success shape is not {id, result}",
            line);
    require((*parsed)["result"].is_object(), "result is not an object", line);
  } else {
    require(parsed->size() == 2 && parsed->contains("error") && parsed->contains("id"),
            "failure shape is not {error, id}", line);
    checkError((*parsed)["error"], line);
  }
  return std::move(*parsed);
}

// The error code of a failure response, "" for a success.
std::string codeOf(const Json& response) {
  if (!response.contains("error")) {
    return "";
  }
  return response["error"]["code"].get<std::string>();
}

// ---- The envelope as the controller sees it ----------------------------------------------------

enum class Answer { atOnce, byOperation };

struct Expectation {
  std::string id = "null";  // the id the answer must echo, as JSON text
  Answer answer = Answer::atOnce;
  std::string method;
  Json params = Json::object();
};

// What the bridge must do with one line, worked out independently of the bridge.
Expectation expectationFor(std::string_view line) {
  Expectation expected;
  expected.id = "null";
  if (line.size() > 2'097'152) {
    return expected;
  }
  std::optional<Json> parsed = wire::parse(line);
  if (!parsed || !parsed->is_object()) {
    return expected;
  }
  Json id = parsed->contains("id") ? (*parsed)["id"] : Json(nullptr);
  expected.id = wire::serialize(id);
  const Json& method = parsed->contains("method") ? (*parsed)["method"] : Json();
  if (!(id.is_string() || id.is_number() || id.is_boolean()) || !method.is_string() ||
      method.get_ref<const std::string&>().empty()) {
    return expected;
  }
  expected.method = method.get<std::string>();
  if (parsed->contains("params") && (*parsed)["params"].is_object()) {
    expected.params = (*parsed)["params"];
  }
  if (expected.method != "operation.cancel" && expected.method != "operations.cancelAll") {
    expected.answer = Answer::byOperation;
  }
  return expected;
}

// ---- One input ---------------------------------------------------------------------------------

class Session {
 public:
  Session()
      : runtime_(NativeRuntime::Environment{
            desktop_, loop_, [this](std::string_view line) { written(line); },
            [this](int status) { exited(status); }, scratch().temporary}) {
    populate(desktop_);
  }

  void run(std::string_view input) {
    while (!input.empty() && !ended_) {
      std::size_t newline = input.find('\n');
      std::string_view line = input.substr(0, newline);
      input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
      if (line.ends_with('\r')) {
        line.remove_suffix(1);
      }
      if (line.starts_with('#')) {
        directive(line.substr(1));
      } else {
        request(substituted(line));
      }
    }
    finish();
  }

 private:
  // ---- Lines
  void request(const std::string& line) {
    Expectation expected = expectationFor(line);
    outstanding_.insert(expected.id);
    std::size_t before = responses_.size();
    std::size_t registered = runtime_.operations().size();
    std::optional<bool> targetRegistered;
    if (expected.method == "operation.cancel") {
      const Json& target =
          expected.params.contains("operationId") ? expected.params["operationId"] : Json();
      if (target.is_string()) {
        targetRegistered = runtime_.operations().contains(target.get<std::string>());
      }
    }

    runtime_.receive(line);

    std::size_t answered = responses_.size() - before;
    if (expected.answer == Answer::atOnce) {
      require(answered == 1,
              "a line that is answered at once got " + std::to_string(answered) + " responses",
              line);
      const Json& response = responses_.back();
      if (expected.method == "operations.cancelAll") {
        require(response.contains("result") && response["result"]["cancelRequested"] == registered,
                "cancelAll counted the wrong number of operations", line);
        require(runtime_.observations().empty(), "cancelAll kept observations", line);
      }
      if (targetRegistered && response.contains("result")) {
        require(response["result"]["cancelRequested"] == *targetRegistered,
                "cancel reported the wrong registration", line);
      }
    } else {
      require(answered <= 1, "a registered line got several responses at once", line);
      if (answered == 1) {
        require(codeOf(responses_.back()) == "operationInProgress",
                "a registered line was answered before its operation ran", line);
      }
    }
    loop_.runUntilIdle();
    checkRunning();
  }

  std::string substituted(std::string_view line) const {
    std::string text(line);
    replaceAll(text, "$OBS", observationIDs_.empty() ? "none" : observationIDs_.back());
    replaceAll(text, "$PATH", capturePaths_.empty() ? "/none.png" : capturePaths_.back());
    replaceAll(text, "$DIR", runtime_.captures().directory().string());
    replaceAll(text, "$DOC", scratch().documents.string());
    return text;
  }

  static void replaceAll(std::string& text, std::string_view token, const std::string& value) {
    for (std::size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + value.size())) {
      text.replace(at, token.size(), value);
    }
  }

  void directive(std::string_view name) {
    if (name.starts_with('t')) {
      std::int64_t milliseconds = 0;
      for (char digit : name.substr(1, 6)) {
        if (digit < '0' || digit > '9') {
          break;
        }
        milliseconds = milliseconds * 10 + (digit - '0');
      }
      advance(std::chrono::milliseconds(milliseconds));
    } else if (name == "drain") {
      drain();
    } else if (name == "user") {
      desktop_.injectUserInput();
    } else if (name == "move") {
      desktop_.window(kEditorWindow).moveBy(2, 0);
    } else if (name == "front") {
      desktop_.frontmostPid = desktop_.frontmostPid == kEditorPid ? 600 : kEditorPid;
    } else if (name == "lock") {
      desktop_.screenLock = !desktop_.screenLock.value_or(false);
    } else if (name == "hold") {
      setHold(true);
    } else if (name == "release") {
      releaseHeld();
    } else if (name == "deny") {
      desktop_.accessibilityTrusted = !desktop_.accessibilityTrusted;
      desktop_.screenCaptureGranted = !desktop_.screenCaptureGranted;
    } else if (name == "quit") {
      desktop_.application(kEditorPid).terminated = true;
    } else if (name == "end") {
      endOfInput();
    }
    loop_.runUntilIdle();
    checkRunning();
  }

  // ---- Time and the platform's pending calls
  static constexpr sim::AsyncCall kCalls[] = {
      sim::AsyncCall::openApplication, sim::AsyncCall::openDocuments,
      sim::AsyncCall::shareableWindows, sim::AsyncCall::captureWindow};

  void setHold(bool hold) {
    desktop_.openApplicationPlan.hold = hold;
    desktop_.openDocumentsPlan.hold = hold;
    desktop_.listingPlan.hold = hold;
    desktop_.capturePlan.hold = hold;
  }

  bool releaseHeld() {
    bool any = false;
    for (sim::AsyncCall call : kCalls) {
      any = desktop_.release(call) || any;
    }
    return any;
  }

  void advance(runtime::Duration by) {
    runtime::MonoTime target = clock_.now() + by;
    loop_.runUntilIdle();
    while (auto next = loop_.nextTimerDeadline()) {
      if (*next > target) {
        break;
      }
      moveClockTo(*next);
      loop_.runUntilIdle();
    }
    moveClockTo(target);
    loop_.runUntilIdle();
  }

  void moveClockTo(runtime::MonoTime when) {
    if (when > clock_.now()) {
      clock_.advance(when - clock_.now());
    }
  }

  // Runs until nothing is scheduled or held; every operation must then have ended.
  void drain() {
    setHold(false);
    for (int round = 0;; ++round) {
      require(round < 1'000'000, "the loop does not come to rest");
      loop_.runUntilIdle();
      if (releaseHeld()) {
        continue;
      }
      std::optional<runtime::MonoTime> next = loop_.nextTimerDeadline();
      if (!next) {
        break;
      }
      moveClockTo(*next);
    }
  }

  void endOfInput() {
    ended_ = true;
    runtime_.endOfInput();
  }

  // ---- Responses and the exit
  void written(std::string_view line) {
    require(exits_ == 0, "a response after the exit", line);
    Json response = checkedResponse(line);
    std::string id = wire::serialize(response["id"]);
    auto found = outstanding_.find(id);
    require(found != outstanding_.end(), "a response for an id that was not asked (again): " + id,
            line);
    outstanding_.erase(found);
    if (response.contains("result")) {
      const Json& result = response["result"];
      if (result.contains("observationId") && result["observationId"].is_string()) {
        observationIDs_.push_back(result["observationId"].get<std::string>());
      }
      if (result.contains("path") && result["path"].is_string()) {
        capturePaths_.push_back(result["path"].get<std::string>());
      }
    }
    responses_.push_back(std::move(response));
  }

  void exited(int status) {
    require(status == 0, "the orderly exit has a status other than 0");
    require(runtime_.operations().empty(), "exit with operations still registered");
    ++exits_;
  }

  // ---- Invariants
  void checkRunning() {
    require(runtime_.observations().size() <= 32, "more than 32 observations are kept");
    if (runtime_.operations().busyOperation()) {
      require(runtime_.operations().contains(*runtime_.operations().busyOperation()),
              "the batch lock is held by an operation that is not registered");
    }
  }

  // The capture directory holds exactly the registered capture files.
  void checkCaptureFiles() {
    std::set<std::string> onDisk;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(runtime_.captures().directory(), error)) {
      onDisk.insert(entry.path().string());
    }
    require(!error, "the capture directory cannot be listed");
    const CaptureFiles& owned = runtime_.captures();
    require(onDisk.size() == owned.size() &&
                std::all_of(onDisk.begin(), onDisk.end(),
                            [&](const std::string& path) { return owned.owns(path); }),
            "capture files on disk and registered capture files differ");
  }

  void finish() {
    drain();
    if (!ended_) {
      require(runtime_.operations().empty(), "an operation is still registered after the drain");
      require(!runtime_.operations().busyOperation(), "the batch lock is held after the drain");
      require(runtime_.observations().size() <= 32, "more than 32 observations are kept");
      checkCaptureFiles();
      endOfInput();
      drain();
    }
    require(exits_ == 1, "the orderly exit happened " + std::to_string(exits_) + " times");
    require(outstanding_.empty(), std::to_string(outstanding_.size()) + " lines got no response");
    require(!fs::exists(runtime_.captures().directory()),
            "the capture directory outlives the exit");
    require(desktop_.installedMonitorCount() == 0, "the user-input monitor outlives the exit");
    require(fs::is_empty(scratch().temporary), "files left in the temporary directory");
  }

  runtime::VirtualClock clock_;
  runtime::EventLoop loop_{clock_};
  sim::SimDesktop desktop_{loop_};
  std::multiset<std::string> outstanding_;
  std::vector<Json> responses_;
  std::vector<std::string> observationIDs_;
  std::vector<std::string> capturePaths_;
  int exits_ = 0;
  bool ended_ = false;
  NativeRuntime runtime_;  // last: it is made after (and gone before) everything it uses
};

}  // namespace
}  // namespace qor::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  qor::fuzzing::Session session;
  session.run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
