// qor-mcp: an MCP server on standard input and output. It starts qor-native as its child process
// and translates between an MCP client's JSON-RPC messages and the bridge's requests.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "mcp/child_bridge.h"
#include "mcp/line_input.h"
#include "mcp/mcp_server.h"
#include "mcp/trace.h"
#include "qor_version.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace {

constexpr const char* kUsage =
    "Usage: qor-mcp [--bridge PATH] [--trace FILE]\n"
    "       qor-mcp --help | --version\n"
    "\n"
    "An MCP server over standard input and output: an MCP client starts it and sends JSON-RPC\n"
    "2.0 messages, one per line. It starts qor-native (found beside qor-mcp) as its child and\n"
    "offers its methods as tools: list_apps, launch_app, focus_app, permissions_status,\n"
    "request_permission, observe, act, capture, release_capture, send_app_event, open_documents.\n"
    "\n"
    "  --bridge PATH   the qor-native executable to start\n"
    "  --trace FILE    append every message, with its direction and time, to FILE (the bridge's\n"
    "                  own trace goes to FILE.bridge); the variable QOR_TRACE does the same\n"
    "  --help          this text\n"
    "  --version       the version\n"
    "\n"
    "Register it with an MCP client as {\"command\": \"qor-mcp\", \"args\": []}. The README's\n"
    "section \"Using it from an assistant (MCP)\" and docs/protocol.md tell more.\n";

struct Options {
  std::string bridge;
  std::string trace;
  bool help = false;
  bool version = false;
  std::string problem;
};

Options parse(int argc, char** argv) {
  Options options;
  for (int index = 1; index < argc; ++index) {
    const std::string_view argument = argv[index];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if ((argument == "--bridge" || argument == "--trace") && index + 1 < argc) {
      (argument == "--bridge" ? options.bridge : options.trace) = argv[++index];
    } else {
      options.problem = "qor-mcp: unknown or incomplete option " + std::string(argument);
    }
  }
  return options;
}

std::string bridgeBesideUs() {
  std::error_code ignored;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
  return (self.parent_path() / "qor-native").string();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  if (!options.problem.empty()) {
    std::fprintf(stderr, "%s\n%s", options.problem.c_str(), kUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::printf("qor-mcp %s\n", qor::kVersion);
    return 0;
  }
  if (argc == 1 && isatty(STDIN_FILENO)) {
    std::fputs(
        "qor-mcp: expects an MCP client's JSON-RPC messages on standard input, one per line; "
        "see qor-mcp --help and the README section \"Using it from an assistant (MCP)\"\n",
        stderr);
  }
  signal(SIGPIPE, SIG_IGN);  // a bridge or client that went away shows as a failed write

  const std::string traceFile = qor::mcp::tracePath(options.trace);
  std::vector<std::string> command{options.bridge.empty() ? bridgeBesideUs() : options.bridge};
  if (!traceFile.empty()) {
    command.insert(command.end(), {"--trace", traceFile + ".bridge"});
  }

  qor::runtime::RealClock clock;
  qor::runtime::EventLoop loop(clock);
  qor::mcp::Trace trace(traceFile);
  qor::mcp::ChildBridge bridge(loop, command);
  qor::mcp::McpServer server(
      loop, bridge,
      [](std::string_view line) {
        qor::mcp::writeAll(STDOUT_FILENO, line);  // a client that is gone ends our input too
      },
      trace.open() ? &trace : nullptr);
  qor::mcp::LineInput input(
      loop, STDIN_FILENO, qor::mcp::kLongestMessage,
      [&server](std::string_view line) { server.receive(line); }, [&loop] { loop.quit(); });
  loop.run();
  return 0;
}
