#include "bridge/native_runtime.h"

#include <array>
#include <charconv>

#include "core/native_parameters.h"

namespace qor {
namespace {

constexpr std::size_t kMaxRequestBytes = 2'097'152;

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
using OperationHandler = runtime::Task<Json> (*)(NativeRuntime&, const Json& params,
                                                 const std::string& operation);
// The envelope answers a cancel request at once, ahead of the operations it names.
using ImmediateHandler = void (*)(NativeRuntime&, Json id, const Json& params);

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

void cancelOperation(NativeRuntime& runtime, Json id, const Json& params) {
  std::string target;
  try {
    target = NativeParameters::string(params, "operationId");
  } catch (const NativeFailure& failure) {
    return runtime.respondFailure(std::move(id), failure);
  }
  bool registered = runtime.operations().cancel(target);
  runtime.respond(std::move(id), Json{{"operationId", target}, {"cancelRequested", registered}});
}

void cancelAllOperations(NativeRuntime& runtime, Json id, const Json&) {
  std::size_t count = runtime.operations().cancelAll();
  runtime.observations().clear();
  runtime.respond(std::move(id), Json{{"cancelRequested", count}});
}

enum class Listing { announced, unlisted };

// Each method has exactly one of the two handlers.
struct MethodEntry {
  std::string_view name;
  OperationHandler operation;
  ImmediateHandler immediate;
  Listing listing;
};

// "capabilities" announces the listed methods in this order.
constexpr std::array<MethodEntry, 14> kMethods = {{
    {"capabilities", capabilitiesHandler, nullptr, Listing::unlisted},
    {"permissions.status", immediate<&NativeRuntime::permissionStatus>, nullptr,
     Listing::announced},
    {"permissions.request", immediate<&NativeRuntime::requestPermission>, nullptr,
     Listing::announced},
    {"apps.list", immediate<&NativeRuntime::listApplications>, nullptr, Listing::announced},
    {"apps.launch", suspending<&NativeRuntime::launchApplication>, nullptr, Listing::announced},
    {"apps.focus", suspending<&NativeRuntime::focusApplication>, nullptr, Listing::announced},
    {"app.observe", immediate<&NativeRuntime::observe>, nullptr, Listing::announced},
    {"app.act", actHandler, nullptr, Listing::announced},
    {"app.appleEvent", immediate<&NativeRuntime::appleEvent>, nullptr, Listing::announced},
    {"app.openDocuments", suspending<&NativeRuntime::openDocuments>, nullptr, Listing::announced},
    {"window.capture", suspending<&NativeRuntime::capture>, nullptr, Listing::announced},
    {"capture.release", immediate<&NativeRuntime::releaseCapture>, nullptr, Listing::announced},
    {"operation.cancel", nullptr, cancelOperation, Listing::announced},
    {"operations.cancelAll", nullptr, cancelAllOperations, Listing::announced},
}};

constexpr bool eachMethodHasOneHandler() {
  for (const MethodEntry& entry : kMethods) {
    if ((entry.operation == nullptr) == (entry.immediate == nullptr)) {
      return false;
    }
  }
  return true;
}
static_assert(eachMethodHasOneHandler());

// The entry named exactly `method`, or nullptr.
const MethodEntry* methodNamed(std::string_view method) {
  for (const MethodEntry& entry : kMethods) {
    if (entry.name == method) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

NativeRuntime::NativeRuntime(Environment environment)
    : desktop_(environment.desktop),
      loop_(environment.loop),
      writeLine_(std::move(environment.writeLine)),
      exit_(std::move(environment.exit)),
      captures_(environment.temporaryDirectory),
      observations_(desktop_, loop_.clock()),
      userInput_(desktop_) {}

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
  if (const MethodEntry* entry = methodNamed(method); entry && entry->immediate) {
    return entry->immediate(*this, std::move(id), params);
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
  std::shared_ptr<runtime::CancellationState> cancellation = operations_.add(operation);
  if (!cancellation) {
    return respondFailure(std::move(id),
                          NativeFailure("operationInProgress", "Operation ID is already active"));
  }
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
  operations_.remove(operation);
  exitIfFinished();
}

runtime::Task<Json> NativeRuntime::dispatch(const std::string& method, const Json& params,
                                            const std::string& operation) {
  if (const MethodEntry* entry = methodNamed(method); entry && entry->operation) {
    co_return co_await entry->operation(*this, params, operation);
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
    out.string(captures_.directory().string());
    out.key("methods");
    out.beginArray();
    for (const MethodEntry& entry : kMethods) {
      if (entry.listing == Listing::announced) {
        out.string(entry.name);
      }
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

// ---- Process lifecycle -------------------------------------------------------------------------

void NativeRuntime::endOfInput() {
  inputEnded_ = true;
  operations_.cancelAll();
  exitIfFinished();
}

void NativeRuntime::exitIfFinished() {
  if (!inputEnded_ || !operations_.empty()) {
    return;
  }
  userInput_.stop();
  captures_.removeAll();
  exit_(0);
}

}  // namespace qor
