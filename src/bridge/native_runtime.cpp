#include "bridge/native_runtime.h"

#include <array>
#include <charconv>
#include <system_error>

#include "core/native_parameters.h"

namespace qor {
namespace {

constexpr std::size_t kMaxRequestBytes = 2'097'152;

// The methods "capabilities" announces, in this order ("capabilities" itself is not listed).
constexpr std::array<const char*, 13> kAnnouncedMethods = {
    "permissions.status",  "permissions.request", "apps.list",       "apps.launch",
    "apps.focus",          "app.observe",         "app.act",         "app.appleEvent",
    "app.openDocuments",   "window.capture",      "capture.release", "operation.cancel",
    "operations.cancelAll"};

NativeFailure invalidRequest(std::string message) {
  return NativeFailure("invalidRequest", std::move(message));
}

// The operation id: a string "operationId" in the parameters, else the request id as text.
std::string operationIdFor(const Json& id, const Json& params) {
  if (const Json* given = NativeParameters::find(params, "operationId");
      given && given->is_string()) {
    return given->get<std::string>();
  }
  if (id.is_string()) {
    return id.get<std::string>();
  }
  if (id.is_boolean()) {
    return id.get<bool>() ? "1" : "0";
  }
  if (id.is_number_integer()) {
    char digits[24];
    auto end = id.is_number_unsigned()
                   ? std::to_chars(digits, digits + sizeof digits, id.get<std::uint64_t>()).ptr
                   : std::to_chars(digits, digits + sizeof digits, id.get<std::int64_t>()).ptr;
    return std::string(digits, end);
  }
  return wire::serialize(id);  // a fraction in its shortest decimal form
}

// The method table. Handlers that never suspend are adapted to the common coroutine shape.
using Handler = runtime::Task<Json> (*)(NativeRuntime&, const Json&, const std::string&);

template <Json (NativeRuntime::*method)(const Json&)>
runtime::Task<Json> immediate(NativeRuntime& runtime, const Json& params, const std::string&) {
  co_return (runtime.*method)(params);
}

template <runtime::Task<Json> (NativeRuntime::*method)(const Json&)>
runtime::Task<Json> suspending(NativeRuntime& runtime, const Json& params, const std::string&) {
  co_return co_await (runtime.*method)(params);
}

runtime::Task<Json> capabilitiesHandler(NativeRuntime& runtime, const Json&, const std::string&) {
  co_return runtime.capabilities();
}

runtime::Task<Json> actHandler(NativeRuntime& runtime, const Json& params,
                               const std::string& operation) {
  co_return co_await runtime.act(params, operation);
}

struct MethodEntry {
  std::string_view name;
  Handler handler;
};

constexpr std::array<MethodEntry, 12> kMethodTable = {{
    {"capabilities", capabilitiesHandler},
    {"permissions.status", immediate<&NativeRuntime::permissionStatus>},
    {"permissions.request", immediate<&NativeRuntime::requestPermission>},
    {"apps.list", immediate<&NativeRuntime::listApplications>},
    {"apps.launch", suspending<&NativeRuntime::launchApplication>},
    {"apps.focus", suspending<&NativeRuntime::focusApplication>},
    {"app.observe", immediate<&NativeRuntime::observe>},
    {"app.act", actHandler},
    {"app.appleEvent", immediate<&NativeRuntime::appleEvent>},
    {"app.openDocuments", suspending<&NativeRuntime::openDocuments>},
    {"window.capture", suspending<&NativeRuntime::capture>},
    {"capture.release", immediate<&NativeRuntime::releaseCapture>},
}};

}  // namespace

NativeRuntime::NativeRuntime(Environment environment)
    : captureDirectory(createCaptureDirectory(environment.temporaryDirectory)),
      desktop_(environment.desktop),
      loop_(environment.loop),
      writeLine_(std::move(environment.writeLine)),
      exit_(std::move(environment.exit)) {}

// ---- Envelope ----------------------------------------------------------------------------------

void NativeRuntime::receive(std::string_view line) {
  if (line.size() > kMaxRequestBytes) {
    return respondFailure(nullptr, invalidRequest("Expected a JSON object, maximum 2 MiB"));
  }
  std::optional<Json> parsed = wire::parse(line);
  if (!parsed) {
    return respondFailure(nullptr, invalidRequest("Invalid JSON request"));
  }
  if (!parsed->is_object()) {
    return respondFailure(nullptr, invalidRequest("Expected a JSON object, maximum 2 MiB"));
  }
  Json id = nullptr;
  if (auto found = parsed->find("id"); found != parsed->end()) {
    id = std::move(*found);  // moved, never copied: an id may nest deeply
  }
  if (!id.is_string() && !id.is_number() && !id.is_boolean()) {
    return respondFailure(std::move(id), invalidRequest("id must be a string or number"));
  }
  std::string method;
  try {
    method = NativeParameters::string(*parsed, "method");
  } catch (const NativeFailure& failure) {
    return respondFailure(std::move(id), failure);
  }
  Json params = Json::object();
  if (auto found = parsed->find("params"); found != parsed->end() && found->is_object()) {
    params = std::move(*found);
  }
  if (method == "operation.cancel") {
    return cancelOperation(std::move(id), params);
  }
  if (method == "operations.cancelAll") {
    return cancelAllOperations(std::move(id));
  }
  registerOperation(std::move(id), method, std::move(params));
}

void NativeRuntime::respond(Json id, Json result) {
  Json response = Json::object();
  response["id"] = std::move(id);
  response["result"] = result.is_null() ? Json::object() : std::move(result);
  writeResponse(response);
}

void NativeRuntime::respondFailure(Json id, const NativeFailure& failure) {
  Json response = Json::object();
  response["error"] = failure.json();
  response["id"] = std::move(id);
  writeResponse(response);
}

void NativeRuntime::writeResponse(const Json& response) {
  writeLine_(responseLines_.line(response));  // the line is written whole, in one piece
}

// ---- Operations --------------------------------------------------------------------------------

void NativeRuntime::registerOperation(Json id, const std::string& method, Json params) {
  std::string operation = operationIdFor(id, params);
  if (operations.contains(operation)) {
    return respondFailure(std::move(id),
                          NativeFailure("operationInProgress", "Operation ID is already active"));
  }
  auto cancellation = std::make_shared<runtime::CancellationState>();
  operations.emplace(operation, cancellation);
  runtime::spawn(loop_, cancellation,
                 runOperation(std::move(id), method, std::move(params), operation, cancellation));
}

// The one place where errors become responses.
runtime::Task<void> NativeRuntime::runOperation(
    Json id, std::string method, Json params, std::string operation,
    std::shared_ptr<runtime::CancellationState> cancellation) {
  std::optional<NativeFailure> failure;
  Json result;
  try {
    if (cancellation->isCancelled()) {
      throw runtime::Cancelled{};
    }
    result = co_await dispatch(method, params, operation);
    if (cancellation->isCancelled()) {
      throw runtime::Cancelled{};
    }
  } catch (const NativeFailure& raised) {
    failure = raised;
  } catch (const runtime::Cancelled&) {
    failure = NativeFailure("cancelled", "Operation stopped");
  } catch (const std::exception& error) {
    failure = NativeFailure("operationFailed", error.what());
  } catch (...) {
    failure = NativeFailure("operationFailed", "The operation could not be completed");
  }
  if (failure) {
    respondFailure(std::move(id), *failure);
  } else {
    respond(std::move(id), std::move(result));
  }
  operations.erase(operation);
  exitIfFinished();
}

runtime::Task<Json> NativeRuntime::dispatch(const std::string& method, const Json& params,
                                            const std::string& operation) {
  for (const MethodEntry& entry : kMethodTable) {
    if (entry.name == method) {
      co_return co_await entry.handler(*this, params, operation);
    }
  }
  throw NativeFailure("unsupportedMethod", "Unknown native method: " + method);
}

// The answer never changes during a run, so it is written once, as wire text: answering copies a
// few hundred bytes instead of a tree of some forty values. Keys in ascending byte order.
Json NativeRuntime::capabilities() {
  if (!capabilities_) {
    desktop::PlatformInfo platform = desktop_.platformInfo();
    wire::Writer out;
    out.beginObject();
    out.key("architecture");
    out.string(platform.architecture);
    out.key("captureDirectory");
    out.string(captureDirectory.string());
    out.key("methods");
    out.beginArray();
    for (const char* name : kAnnouncedMethods) {
      out.string(name);
    }
    out.endArray();
    out.key("minimumOS");
    out.string(platform.minimumOS);
    out.key("platform");
    out.string(platform.platform);
    out.key("protocol");
    out.integer(1);
    out.endObject();
    capabilities_ = out.takeFragment();
  }
  return *capabilities_;
}

void NativeRuntime::cancelOperation(Json id, const Json& params) {
  std::string target;
  try {
    target = NativeParameters::string(params, "operationId");
  } catch (const NativeFailure& failure) {
    return respondFailure(std::move(id), failure);
  }
  auto found = operations.find(target);
  bool registered = found != operations.end();
  if (registered) {
    found->second->requestCancel();
  }
  respond(std::move(id), Json{{"operationId", target}, {"cancelRequested", registered}});
}

void NativeRuntime::cancelAllOperations(Json id) {
  std::size_t count = operations.size();
  for (auto& [name, cancellation] : operations) {
    cancellation->requestCancel();
  }
  observations.clear();
  respond(std::move(id), Json{{"cancelRequested", count}});
}

// ---- Process lifecycle -------------------------------------------------------------------------

void NativeRuntime::endOfInput() {
  stdinClosed = true;
  for (auto& [name, cancellation] : operations) {
    cancellation->requestCancel();
  }
  exitIfFinished();
}

void NativeRuntime::exitIfFinished() {
  if (!stdinClosed || !operations.empty()) {
    return;
  }
  if (inputMonitor) {
    desktop_.removeMonitor(*inputMonitor);
  }
  std::error_code ignored;
  std::filesystem::remove_all(captureDirectory, ignored);
  exit_(0);
}

}  // namespace qor
