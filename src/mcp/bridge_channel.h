#pragma once
// The MCP server's way to a bridge: request lines out, response lines back, and word when the
// bridge is gone. In the product a child process behind pipes; in tests a bridge in process.

#include <functional>
#include <string>
#include <string_view>

namespace qor::mcp {

class BridgeChannel {
 public:
  struct Listener {
    std::function<void(std::string_view line)> line;  // one response line, without newline
    std::function<void(const std::string& why)>
        ended;  // the bridge went away ("exited with status 1")
  };

  virtual ~BridgeChannel() = default;

  void listen(Listener listener) { listener_ = std::move(listener); }

  // Sends one request line (without newline), starting a bridge first when none runs. Returns an
  // empty string when sent or when the bridge turned out to be gone (`ended` has then been
  // called), else why no bridge could be started.
  virtual std::string send(std::string_view line) = 0;

 protected:
  Listener listener_;
};

}  // namespace qor::mcp
