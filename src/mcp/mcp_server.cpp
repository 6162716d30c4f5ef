#include "mcp/mcp_server.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/base64.h"
#include "core/png.h"
#include "mcp/image_scale.h"
#include "mcp/outline.h"
#include "mcp/schema_check.h"
#include "qor_version.h"

namespace qor::mcp {
namespace {

constexpr const char* kStructuredSince = "2025-06-18";  // structured content, output schemas
constexpr std::size_t kRememberedScales = 32;           // as many as the bridge keeps observations

bool isRequestId(const Json& id) {
  return id.is_string() || id.is_number();
}

const char* supportedRevision(const Json& asked) {
  if (asked.is_string()) {
    for (const char* revision : kProtocolRevisions) {
      if (asked.get<std::string>() == revision) {
        return revision;
      }
    }
  }
  return kProtocolRevisions[0];  // the client decides whether it can speak ours
}

// The token under which the client wants to hear how a call goes, if it gave one.
std::optional<Json> progressTokenOf(const Json& params) {
  const auto meta = params.find("_meta");
  if (meta == params.end() || !meta->is_object()) {
    return std::nullopt;
  }
  const auto token = meta->find("progressToken");
  if (token == meta->end() || !isRequestId(*token)) {
    return std::nullopt;
  }
  return *token;
}

Json textContent(std::string text) {
  return Json{{"type", "text"}, {"text", std::move(text)}};
}

std::optional<std::vector<std::uint8_t>> readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file),
                                   std::istreambuf_iterator<char>());
}

// A failure of the translation itself, shaped like the bridge's own.
Json failure(const std::string& code, const std::string& message, Json details = Json::object()) {
  return Json{{"code", code}, {"message", message}, {"details", std::move(details)}};
}

}  // namespace

McpServer::McpServer(runtime::EventLoop& loop, BridgeChannel& bridge, LineWriter write,
                     Trace* trace)
    : loop_(loop), bridge_(bridge), write_(std::move(write)), trace_(trace) {
  bridge_.listen({[this](std::string_view line) { bridgeLine(line); },
                  [this](const std::string& why) { bridgeEnded(why); }});
}

// ---- Client side
// ---------------------------------------------------------------------------------

void McpServer::receive(std::string_view line) {
  if (trace_ != nullptr) {
    trace_->record("client>", line);
  }
  if (line.size() > kLongestMessage) {
    replyError(nullptr, rpc::kInvalidRequest, "Message longer than 4 MiB");
    return;
  }
  std::optional<Json> message = wire::parse(line);
  if (!message) {
    replyError(nullptr, rpc::kParseError, "Parse error: not one JSON value per line");
    return;
  }
  if (!message->is_object()) {
    replyError(nullptr, rpc::kInvalidRequest, "Expected one JSON-RPC message object (no batches)");
    return;
  }
  handleMessage(*message);
}

void McpServer::handleMessage(const Json& message) {
  const auto method = message.find("method");
  const auto id = message.find("id");
  if (method == message.end() && id != message.end() &&
      (message.contains("result") || message.contains("error"))) {
    return;  // a response; this server sends no requests, so none is awaited
  }
  const Json replyId = id != message.end() && isRequestId(*id) ? *id : Json();
  if (message.value("jsonrpc", "") != "2.0" || method == message.end() || !method->is_string() ||
      (id != message.end() && !isRequestId(*id))) {
    replyError(replyId, rpc::kInvalidRequest,
               "Invalid request: expected jsonrpc \"2.0\", a method and a string or number id");
    return;
  }
  static const Json kNoParams = Json::object();
  const auto params = message.find("params");
  const Json& given = params != message.end() && params->is_object() ? *params : kNoParams;
  if (id == message.end()) {
    handleNotification(method->get<std::string>(), given);
  } else {
    handleRequest(*id, method->get<std::string>(), given);
  }
}

void McpServer::handleNotification(const std::string& method, const Json& params) {
  if (method == "notifications/cancelled") {
    cancel(params);
  }
  // notifications/initialized and anything else need nothing from us.
}

void McpServer::handleRequest(const Json& id, const std::string& method, const Json& params) {
  if (method == "initialize") {
    reply(id, initialize(params));
  } else if (method == "ping") {
    reply(id, Json::object());
  } else if (revision_.empty()) {
    replyError(id, rpc::kNotInitialized, "Server not initialized: send initialize first");
  } else if (method == "tools/list") {
    reply(id, listTools());
  } else if (method == "tools/call") {
    callTool(id, params);
  } else {
    replyError(id, rpc::kMethodNotFound, "Method not found: " + method);
  }
}

Json McpServer::initialize(const Json& params) {
  revision_ = supportedRevision(params.value("protocolVersion", Json()));
  return Json{
      {"protocolVersion", revision_},
      {"capabilities", {{"tools", {{"listChanged", false}}}}},
      {"serverInfo", {{"name", "qor-mcp"}, {"version", std::string(qor::kVersion)}}},
      {"instructions",
       "Work in the user's desktop applications: list_apps to find one, observe its window, act "
       "on that observation, observe again to check. Every refusal says what to do next."}};
}

Json McpServer::listTools() const {
  Json listed = Json::array();
  for (const Tool& tool : tools()) {
    listed.push_back(toolListing(tool, structured()));
  }
  return Json{{"tools", std::move(listed)}};
}

void McpServer::callTool(const Json& id, const Json& params) {
  const Json name = params.value("name", Json());
  const Tool* tool = name.is_string() ? findTool(name.get<std::string>()) : nullptr;
  if (tool == nullptr) {
    replyError(id, rpc::kInvalidParams,
               "Unknown tool: " + (name.is_string() ? name.get<std::string>() : name.dump()));
    return;
  }
  const Json arguments = params.value("arguments", Json::object());
  if (!arguments.is_object()) {
    replyError(id, rpc::kInvalidParams,
               "Invalid arguments for " + tool->name + ": arguments must be an object");
    return;
  }
  if (std::optional<std::string> problem = schemaMismatch(arguments, tool->inputSchema)) {
    replyError(id, rpc::kInvalidParams, "Invalid arguments for " + tool->name + ": " + *problem);
    return;
  }
  const std::int64_t bridgeId = nextBridgeId_++;
  Call call;
  call.clientId = id;
  call.tool = tool;
  call.operationId = "mcp-" + std::to_string(bridgeId);
  call.maxPixels = arguments.value("maxPixels", 0u);
  call.started = loop_.clock().now();
  call.progressToken = progressTokenOf(params);
  const Json request{{"id", bridgeId},
                     {"method", tool->bridgeMethod},
                     {"params", bridgeParams(*tool, arguments, call.operationId)}};
  const std::string line = wire::serialize(request);
  calls_.emplace(bridgeId, std::move(call));
  if (trace_ != nullptr) {
    trace_->record(">bridge", line);
  }
  if (std::string problem = bridge_.send(line); !problem.empty()) {
    finish(bridgeId, Json{{"error", failure("bridgeUnavailable",
                                            "The bridge could not be reached: " + problem)}});
    return;
  }
  if (calls_.contains(bridgeId)) {
    startProgress(bridgeId);
  }
}

// The tool's arguments are the bridge's parameters, under the bridge's names, with the operation
// named after the call so that a cancellation can reach it.
Json McpServer::bridgeParams(const Tool& tool, const Json& arguments,
                             const std::string& operationId) {
  Json params = arguments;
  params["operationId"] = operationId;
  if (tool.bridgeMethod == "window.capture") {
    params.erase("maxPixels");
  }
  if (tool.bridgeMethod == "app.act") {
    const auto scale = shownScales_.find(arguments.value("observationId", ""));
    if (scale != shownScales_.end()) {
      for (Json& action : params["actions"]) {
        if (action.value("coordinateSpace", "") == "imagePixels" && action.contains("x") &&
            action["x"].is_number() && action.contains("y") && action["y"].is_number()) {
          action["x"] = action["x"].get<double>() * scale->second;
          action["y"] = action["y"].get<double>() * scale->second;
        }
      }
      shownScales_.erase(scale);  // the batch uses the observation up
    }
  }
  return params;
}

void McpServer::cancel(const Json& params) {
  const Json requestId = params.value("requestId", Json());
  for (auto& [bridgeId, call] : calls_) {
    if (call.clientId == requestId && !call.cancelled) {
      call.cancelled = true;
      stopProgress(call);
      const std::string line =
          wire::serialize(Json{{"id", "cancel-" + std::to_string(bridgeId)},
                               {"method", "operation.cancel"},
                               {"params", {{"operationId", call.operationId}}}});
      if (trace_ != nullptr) {
        trace_->record(">bridge", line);
      }
      bridge_.send(line);  // a bridge that is gone has ended the call already
      return;
    }
  }
}

// ---- Bridge side
// ---------------------------------------------------------------------------------

void McpServer::bridgeLine(std::string_view line) {
  if (trace_ != nullptr) {
    trace_->record("bridge>", line);
  }
  if (passOnAsWritten(line)) {
    return;
  }
  std::optional<Json> response = wire::parse(line);
  if (!response || !response->is_object()) {
    return;
  }
  const auto id = response->find("id");
  if (id != response->end() && id->is_number_integer()) {
    finish(id->get<std::int64_t>(), *response);
  }
}

// The bridge writes its keys sorted, so a success reads {"id":N,"result":...}. Its result goes on
// as the bridge wrote it, as structured content and, for plain results, as the JSON text too,
// without being written again: for short answers that work is most of what this layer adds, and
// an observation is only read for its outline.
bool McpServer::passOnAsWritten(std::string_view line) {
  constexpr std::string_view kStart = R"({"id":)";
  constexpr std::string_view kResult = R"(,"result":)";
  if (!structured() || !line.starts_with(kStart) || !line.ends_with('}')) {
    return false;
  }
  const std::size_t digits = line.find_first_not_of("0123456789", kStart.size());
  if (digits == kStart.size() || digits == std::string_view::npos ||
      line.substr(digits, kResult.size()) != kResult) {
    return false;
  }
  const auto found =
      calls_.find(std::stoll(std::string(line.substr(kStart.size(), digits - kStart.size()))));
  if (found == calls_.end() || found->second.cancelled ||
      found->second.tool->presentation == Presentation::image) {
    return false;
  }
  const std::string_view result =
      line.substr(digits + kResult.size(), line.size() - digits - kResult.size() - 1);
  std::string text;
  if (found->second.tool->presentation == Presentation::outline) {
    std::optional<Json> observation = wire::parse(result);
    if (!observation) {
      return false;
    }
    text = outline(*observation);
  } else {
    text = result;
  }
  Call call = std::move(found->second);
  calls_.erase(found);
  stopProgress(call);
  std::string answer = R"({"id":)" + wire::serialize(call.clientId) +
                       R"(,"jsonrpc":"2.0","result":{"content":[{"text":)" +
                       wire::serialize(Json(std::move(text))) +
                       R"(,"type":"text"}],"isError":false,"structuredContent":)";
  answer.append(result);
  answer += "}}";
  writeLine(std::move(answer));
  return true;
}

void McpServer::bridgeEnded(const std::string& why) {
  if (trace_ != nullptr) {
    trace_->record("note", "bridge " + why);
  }
  shownScales_.clear();  // a fresh bridge knows none of the old observations
  std::vector<std::int64_t> open;
  for (const auto& entry : calls_) {
    open.push_back(entry.first);
  }
  for (std::int64_t bridgeId : open) {
    finish(bridgeId, Json{{"error", failure("bridgeExited",
                                            "The bridge " + why +
                                                " before answering; the next call starts a fresh "
                                                "bridge, so observe again before acting")}});
  }
}

void McpServer::finish(std::int64_t bridgeId, const Json& response) {
  auto found = calls_.find(bridgeId);
  if (found == calls_.end()) {
    return;
  }
  Call call = std::move(found->second);
  calls_.erase(found);
  stopProgress(call);
  if (call.cancelled) {
    return;  // a cancelled request gets no response
  }
  const auto error = response.find("error");
  if (error != response.end()) {
    reply(call.clientId, errorResult(*error));
    return;
  }
  static const Json kEmpty = Json::object();
  const auto result = response.find("result");
  reply(call.clientId, toolResult(call, result != response.end() ? *result : kEmpty));
}

Json McpServer::toolResult(Call& call, const Json& result) {
  if (call.tool->presentation == Presentation::image) {
    return captureResult(call, result);
  }
  Json content = Json::array();
  if (call.tool->presentation == Presentation::outline) {
    content.push_back(textContent(outline(result)));
    if (!structured()) {
      content.push_back(textContent(wire::serialize(result)));
    }
  } else {
    content.push_back(textContent(wire::serialize(result)));
  }
  Json answer{{"content", std::move(content)}, {"isError", false}};
  if (structured()) {
    answer["structuredContent"] = result;
  }
  return answer;
}

// The capture's PNG as image content, scaled down to the longest side the call asked for. The
// result then describes the image the model received, and act converts its coordinates back.
Json McpServer::captureResult(const Call& call, Json result) {
  const std::string path = result.value("path", "");
  std::optional<std::vector<std::uint8_t>> png = readFile(path);
  if (!png) {
    return errorResult(failure("captureUnreadable",
                               "The capture file could not be read; capture again",
                               {{"path", path}}));
  }
  const auto width = result.value("width", 0u);
  const auto height = result.value("height", 0u);
  const Size shown =
      fittedSize(width, height, call.maxPixels == 0 ? std::max(width, height) : call.maxPixels);
  if (shown.width != width || shown.height != height) {
    std::optional<RgbaImage> image = decodePng(*png);
    std::optional<std::vector<std::uint8_t>> smaller;
    if (image) {
      RgbaImage scaled = downscale(*image, shown);
      smaller = encodePng(scaled.width, scaled.height, scaled.rgba, quickPngSettings());
    }
    if (!smaller) {
      return errorResult(
          failure("captureUnreadable",
                  "The capture could not be scaled down; capture again without maxPixels",
                  {{"path", path}}));
    }
    png = std::move(smaller);
    const double factor = double(std::max(width, height)) / std::max(shown.width, shown.height);
    const Json frame = result.value("frame", Json::object());
    result["width"] = shown.width;
    result["height"] = shown.height;
    result["scaleX"] = frame.value("width", 0.0) > 0 ? shown.width / frame["width"].get<double>()
                                                     : result.value("scaleX", 1.0) / factor;
    result["scaleY"] = frame.value("height", 0.0) > 0 ? shown.height / frame["height"].get<double>()
                                                      : result.value("scaleY", 1.0) / factor;
    const std::string observation = result.value("observationId", "");
    shownScales_[observation] = factor;
    while (shownScales_.size() > kRememberedScales) {
      shownScales_.erase(shownScales_.begin());
    }
  }
  Json content =
      Json::array({Json{{"type", "image"}, {"data", base64(*png)}, {"mimeType", "image/png"}}});
  content.push_back(textContent(wire::serialize(result)));
  Json answer{{"content", std::move(content)}, {"isError", false}};
  if (structured()) {
    answer["structuredContent"] = std::move(result);
  }
  return answer;
}

// A refusal as the model should see it: the bridge's message first (it says what to do next),
// then the whole failure record.
Json McpServer::errorResult(const Json& failureRecord) const {
  const std::string message = failureRecord.value("message", "The bridge refused the call");
  return Json{{"content", Json::array({textContent(
                              message + "\n" + wire::serialize(Json{{"error", failureRecord}}))})},
              {"isError", true}};
}

// ---- Progress
// ------------------------------------------------------------------------------------

void McpServer::startProgress(std::int64_t bridgeId) {
  Call& call = calls_.at(bridgeId);
  if (!call.progressToken || !call.tool->reportsProgress) {
    return;
  }
  progressTick(bridgeId);
}

void McpServer::progressTick(std::int64_t bridgeId) {
  Call& call = calls_.at(bridgeId);
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(loop_.clock().now() - call.started);
  notify("notifications/progress", Json{{"progressToken", *call.progressToken},
                                        {"progress", ++call.progressCount},
                                        {"message", call.tool->name + " running for " +
                                                        std::to_string(elapsed.count()) + " ms"}});
  call.progressTimer = loop_.addTimer(loop_.clock().now() + kProgressInterval, [this, bridgeId] {
    calls_.at(bridgeId).progressTimer.reset();
    progressTick(bridgeId);
  });
}

void McpServer::stopProgress(Call& call) {
  if (call.progressTimer) {
    loop_.cancelTimer(*call.progressTimer);
    call.progressTimer.reset();
  }
}

// ---- Writing
// -------------------------------------------------------------------------------------

bool McpServer::structured() const {
  return revision_ >= kStructuredSince;
}

void McpServer::reply(const Json& id, Json result) {
  write(Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
}

void McpServer::replyError(const Json& id, int code, const std::string& message) {
  write(Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

void McpServer::notify(const std::string& method, Json params) {
  write(Json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}});
}

void McpServer::write(const Json& message) {
  writeLine(wire::serialize(message));
}

void McpServer::writeLine(std::string line) {
  if (trace_ != nullptr) {
    trace_->record(">client", line);
  }
  line += '\n';
  write_(line);
}

}  // namespace qor::mcp
