#pragma once
// The one object that holds all state of the bridge and answers every request.
//
// Everything here runs on the main loop's thread; nothing is locked. Fields are public so that
// tests can inspect and arrange state, exactly like the handlers do.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bridge/observation.h"
#include "core/json.h"
#include "core/native_failure.h"
#include "desktop/desktop.h"
#include "runtime/event_loop.h"
#include "runtime/task.h"

namespace qor {

class NativeRuntime {
 public:
  // Writes one complete response line (including its newline) to the controller.
  using LineWriter = std::function<void(std::string_view line)>;
  // Ends the process with the given status; tests record the call instead.
  using Exit = std::function<void(int status)>;

  struct Environment {
    desktop::Desktop& desktop;
    runtime::EventLoop& loop;
    LineWriter writeLine;
    Exit exit;
    std::filesystem::path temporaryDirectory;  // where the private capture directory is made
  };

  // Creates the private capture directory; throws std::runtime_error when it cannot.
  explicit NativeRuntime(Environment environment);
  NativeRuntime(const NativeRuntime&) = delete;
  NativeRuntime& operator=(const NativeRuntime&) = delete;

  // One input line, without its terminator, in input order.
  void receive(std::string_view line);
  // Standard input has ended: cancel everything and exit once the registry is empty.
  void endOfInput();
  // Ends the process when input is closed and no operation is left.
  void exitIfFinished();

  // ---- State (main thread only) ----------------------------------------------------------------
  std::map<std::string, Observation> observations;
  std::map<std::string, std::shared_ptr<runtime::CancellationState>> operations;
  std::optional<std::string> busyOperation;
  std::uint64_t inputEpoch = 0;
  std::optional<desktop::MonitorHandle> inputMonitor;
  bool stdinClosed = false;
  std::set<std::string> captureFiles;
  const std::filesystem::path captureDirectory;
  static constexpr std::int64_t eventMarker = 0x514F524E41544956;  // "QORNATIV"

  desktop::Desktop& desktop() { return desktop_; }
  runtime::EventLoop& loop() { return loop_; }
  runtime::Clock& clock() { return loop_.clock(); }

  // ---- Envelope and operations (native_runtime.cpp) ---------------------------------------------
  // Takes the id by value: ids may nest deeply, and copying a JSON value recurses.
  void respond(Json id, Json result);
  void respondFailure(Json id, const NativeFailure& failure);
  runtime::Task<Json> dispatch(const std::string& method, const Json& params,
                               const std::string& operation);
  Json capabilities();

  // ---- Handlers, one file each -----------------------------------------------------------------
  // permissions.cpp
  Json permissionStatus(const Json& params);
  Json requestPermission(const Json& params);
  Json automationPermission(const std::string& bundleID, bool ask);
  // applications.cpp
  desktop::RunningApplication targetApp(const Json& params);
  runtime::Task<Json> launchApplication(const Json& params);
  runtime::Task<Json> focusApplication(const Json& params);
  // application_list.cpp
  Json listApplications(const Json& params);
  // observe.cpp
  Json observe(const Json& params);
  // observation_store.cpp
  std::pair<desktop::RunningApplication, Observation> validatedObservation(const Json& params);
  desktop::ElementRef element(const Json& params, const Observation& observation);
  void pruneObservations();
  // act.cpp (with pointer_actions.cpp, keyboard_actions.cpp, element_actions.cpp,
  // foreground_guard.cpp, input_monitor.cpp)
  runtime::Task<Json> act(const Json& params, const std::string& operation);
  void requireForeground(const desktop::RunningApplication& app, const Observation& observation);
  void ensureInputMonitor();
  // apple_events.cpp, open_documents.cpp
  Json appleEvent(const Json& params);
  runtime::Task<Json> openDocuments(const Json& params);
  // capture.cpp, capture_files.cpp
  runtime::Task<Json> capture(const Json& params);
  Json releaseCapture(const Json& params);

 private:
  void registerOperation(Json id, const std::string& method, Json params);
  runtime::Task<void> runOperation(Json id, std::string method, Json params, std::string operation,
                                   std::shared_ptr<runtime::CancellationState> cancellation);
  void cancelOperation(Json id, const Json& params);
  void cancelAllOperations(Json id);
  void writeResponse(const Json& response);

  desktop::Desktop& desktop_;
  runtime::EventLoop& loop_;
  LineWriter writeLine_;
  Exit exit_;
  std::optional<Json> capabilities_;  // built on first use
  // Kept from call to call, so that large answers are written into room that is already there.
  wire::LineBuffer responseLines_;
  wire::Writer observationText_;
  // Lives exactly as long as the runtime: the user-input monitor's handler holds it weakly, so a
  // late call after the runtime is gone does nothing (input_monitor.cpp).
  std::shared_ptr<NativeRuntime*> liveness_ = std::make_shared<NativeRuntime*>(this);
};

// Creates "qor-native-" + a new upper-case UUID inside `temporaryDirectory` with mode 0700.
std::filesystem::path createCaptureDirectory(const std::filesystem::path& temporaryDirectory);

}  // namespace qor
