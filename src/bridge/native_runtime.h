#pragma once
// The envelope of the bridge: reads requests, runs each as an operation, writes the responses.
// The state the handlers share lives in four owners reached through accessors: the observation
// store, the operation registry, the user-input monitor and the capture files.
//
// Everything here runs on the main loop's thread; nothing is locked.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/capture_files.h"
#include "bridge/observation.h"
#include "bridge/observation_store.h"
#include "bridge/operation_registry.h"
#include "bridge/user_input_monitor.h"
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

  // True once standard input has ended.
  bool inputEnded() const { return inputEnded_; }

  // ---- State, each with its owner (main thread only) --------------------------------------------
  ObservationStore& observations() { return observations_; }
  const ObservationStore& observations() const { return observations_; }
  OperationRegistry& operations() { return operations_; }
  const OperationRegistry& operations() const { return operations_; }
  UserInputMonitor& userInput() { return userInput_; }
  const UserInputMonitor& userInput() const { return userInput_; }
  CaptureFiles& captures() { return captures_; }
  const CaptureFiles& captures() const { return captures_; }

  desktop::Desktop& desktop() { return desktop_; }
  runtime::EventLoop& loop() { return loop_; }
  runtime::Clock& clock() { return loop_.clock(); }

  // ---- Envelope and operations (native_runtime.cpp) ---------------------------------------------
  // Takes the id by value: ids may nest deeply, and copying a JSON value recurses.
  void respond(Json id, Json result);
  void respondFailure(Json id, const NativeFailure& failure);
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
  // act.cpp (with pointer_actions.cpp, keyboard_actions.cpp, element_actions.cpp,
  // foreground_guard.cpp)
  runtime::Task<Json> act(const Json& params, const std::string& operation);
  void requireForeground(const desktop::RunningApplication& app, const Observation& observation);
  // apple_events.cpp, open_documents.cpp
  Json appleEvent(const Json& params);
  runtime::Task<Json> openDocuments(const Json& params);
  // capture.cpp
  runtime::Task<Json> capture(const Json& params);
  Json releaseCapture(const Json& params);

 private:
  void registerOperation(Json id, const std::string& method, Json params);
  runtime::Task<void> runOperation(Json id, std::string method, Json params, std::string operation,
                                   std::shared_ptr<runtime::CancellationState> cancellation);
  runtime::Task<Json> dispatch(const std::string& method, const Json& params,
                               const std::string& operation);
  void writeResponse(const Json& response);

  desktop::Desktop& desktop_;
  runtime::EventLoop& loop_;
  LineWriter writeLine_;
  Exit exit_;
  CaptureFiles captures_;  // first: a runtime without its private directory is not made
  ObservationStore observations_;
  OperationRegistry operations_;
  UserInputMonitor userInput_;
  bool inputEnded_ = false;
  std::optional<Json> capabilities_;  // built on first use
  // Kept from call to call, so that large answers are written into room that is already there.
  wire::LineBuffer responseLines_;
  wire::Writer observationText_;
};

}  // namespace qor
