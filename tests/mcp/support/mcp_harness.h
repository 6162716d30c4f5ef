#pragma once
// Drives the MCP server in process against a bridge in process on the simulated desktop, with a
// virtual clock: messages go in as lines, messages out are kept parsed. Nothing here sleeps.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/native_runtime.h"
#include "bridge/support/harness.h"
#include "core/json.h"
#include "mcp/bridge_channel.h"
#include "mcp/mcp_server.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::testing {

// A NativeRuntime behind the channel interface. It starts on the first request; end() makes it
// go away as a crashed child would, and the next request starts a fresh one.
class InProcessBridge final : public mcp::BridgeChannel {
 public:
  InProcessBridge(runtime::EventLoop& loop, sim::SimDesktop& desktop,
                  std::filesystem::path temporary);

  ~InProcessBridge() override;
  InProcessBridge(const InProcessBridge&) = delete;
  InProcessBridge& operator=(const InProcessBridge&) = delete;

  std::string send(std::string_view line) override;
  // The bridge goes away as a crashed child would, with its operations in flight.
  void end(const std::string& why);

  int starts = 0;
  std::vector<Json> requests;  // every request the bridge received, parsed

 private:
  runtime::EventLoop& loop_;
  sim::SimDesktop& desktop_;
  std::filesystem::path temporary_;
  void stop();

  int generation_ = 0;
  std::unique_ptr<NativeRuntime> runtime_;
  // Ended bridges stay alive (their suspended operations still refer to them) but are silent.
  std::vector<std::unique_ptr<NativeRuntime>> ended_;
};

class McpHarness {
 public:
  McpHarness();

  void sendLine(std::string_view line);
  void send(const Json& message);
  // Sends a request and returns the one response with its id (failing the test otherwise).
  Json request(const std::string& method, const Json& params = Json::object());
  Json initialize(const std::string& revision = "2025-06-18");
  // A tools/call; `meta` goes into params._meta.
  Json callTool(const std::string& name, const Json& arguments, const Json& meta = Json());
  // Starts a tools/call without waiting for its answer; returns its id.
  Json startTool(const std::string& name, const Json& arguments, const Json& meta = Json());

  void settle() { loop.runUntilIdle(); }
  void advance(runtime::Duration by);
  // Messages written so far and not taken yet.
  std::vector<Json> take();
  // Takes the messages and returns those that answer `id`.
  std::vector<Json> answersTo(const Json& id);

  runtime::VirtualClock clock;
  runtime::EventLoop loop{clock};
  sim::SimDesktop desktop{loop};
  TemporaryDirectory temporary;
  InProcessBridge bridge{loop, desktop, temporary.path()};
  mcp::McpServer server{loop, bridge,
                        [this](std::string_view line) { written_.emplace_back(line); }};

 private:
  std::vector<std::string> written_;
  int nextId_ = 1;
};

// The text of a tool result's first text content.
std::string firstText(const Json& result);

}  // namespace qor::testing
