#pragma once
// The MCP server: JSON-RPC 2.0 messages from an MCP client, one per line, translated into bridge
// requests and back. It is a controller like any other: every refusal of the bridge reaches the
// model as a tool result with "isError", and nothing here goes around one.
//
// Everything runs on the loop's thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "core/json.h"
#include "mcp/bridge_channel.h"
#include "mcp/tools.h"
#include "mcp/trace.h"
#include "runtime/event_loop.h"

namespace qor::mcp {

// Revisions of the protocol this server speaks, newest first.
inline constexpr const char* kProtocolRevisions[] = {"2025-11-25", "2025-06-18", "2025-03-26",
                                                     "2024-11-05"};
// The longest message line taken: a bridge request may be 2 MiB, and the envelope around it
// needs room too.
inline constexpr std::size_t kLongestMessage = 4 * 1024 * 1024;
// How often a call with a progress token hears that it still runs.
inline constexpr std::chrono::milliseconds kProgressInterval{250};

// JSON-RPC error codes.
namespace rpc {
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kMethodNotFound = -32601;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kNotInitialized = -32002;
}  // namespace rpc

class McpServer {
 public:
  using LineWriter = std::function<void(std::string_view line)>;  // one line with its newline

  McpServer(runtime::EventLoop& loop, BridgeChannel& bridge, LineWriter write,
            Trace* trace = nullptr);
  McpServer(const McpServer&) = delete;
  McpServer& operator=(const McpServer&) = delete;

  // One message line from the client, without its terminator.
  void receive(std::string_view line);
  // Tool calls sent to the bridge and not answered yet.
  std::size_t callsInFlight() const { return calls_.size(); }
  const std::string& negotiatedRevision() const { return revision_; }

 private:
  struct Call {
    Json clientId;
    const Tool* tool = nullptr;
    std::string operationId;
    std::optional<Json> progressToken;
    std::optional<runtime::EventLoop::TimerId> progressTimer;
    std::int64_t progressCount = 0;
    runtime::MonoTime started{};
    std::uint32_t maxPixels = 0;  // capture: longest side of the image the model receives
    bool cancelled = false;       // the client cancelled: it wants no answer
  };

  void handleMessage(const Json& message);
  void handleNotification(const std::string& method, const Json& params);
  void handleRequest(const Json& id, const std::string& method, const Json& params);
  Json initialize(const Json& params);
  Json listTools() const;
  void callTool(const Json& id, const Json& params);
  Json bridgeParams(const Tool& tool, const Json& arguments, const std::string& operationId);
  void cancel(const Json& params);

  void bridgeLine(std::string_view line);
  bool passOnAsWritten(std::string_view line);
  void bridgeEnded(const std::string& why);
  void finish(std::int64_t bridgeId, const Json& response);
  Json toolResult(Call& call, const Json& result);
  Json captureResult(const Call& call, Json result);
  Json errorResult(const Json& failure) const;

  void startProgress(std::int64_t bridgeId);
  void progressTick(std::int64_t bridgeId);
  void stopProgress(Call& call);

  bool structured() const;  // whether the revision has structured content and output schemas
  void reply(const Json& id, Json result);
  void replyError(const Json& id, int code, const std::string& message);
  void notify(const std::string& method, Json params);
  void write(const Json& message);
  void writeLine(std::string line);

  runtime::EventLoop& loop_;
  BridgeChannel& bridge_;
  LineWriter write_;
  Trace* trace_;
  std::string revision_;  // empty until initialize
  std::int64_t nextBridgeId_ = 1;
  std::map<std::int64_t, Call> calls_;
  // Captures sent to the model smaller than taken: observation id to captured pixels per pixel
  // shown, so that imagePixels coordinates of the image the model saw land where it meant.
  std::map<std::string, double> shownScales_;
};

}  // namespace qor::mcp
