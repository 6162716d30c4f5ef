#pragma once
// The bridge as a child process: its standard input and output are pipes to us, its standard
// error is ours. It starts on the first request and again on the first request after it ended.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "mcp/bridge_channel.h"
#include "mcp/line_input.h"
#include "runtime/event_loop.h"

namespace qor::mcp {

class ChildBridge final : public BridgeChannel {
 public:
  // `command`: the bridge's path and its arguments.
  ChildBridge(runtime::EventLoop& loop, std::vector<std::string> command);
  // Closes the bridge's input, which is its orderly end (it cancels what still runs), and waits
  // a moment for it; a bridge that does not end then is killed.
  ~ChildBridge() override;
  ChildBridge(const ChildBridge&) = delete;
  ChildBridge& operator=(const ChildBridge&) = delete;

  std::string send(std::string_view line) override;

 private:
  std::string start();
  // The bridge closed its output or stopped reading: reap it and say why it ended.
  void ended();
  std::string reap(int waitMs);

  runtime::EventLoop& loop_;
  std::vector<std::string> command_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::optional<LineInput> lines_;  // the bridge's output
};

}  // namespace qor::mcp
