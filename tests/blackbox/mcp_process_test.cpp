// qor-mcp as a client starts it: its command line, and a bridge child that cannot start or goes
// away, through real pipes and real processes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "blackbox/support/bridge_process.h"
#include "blackbox/support/child_process.h"
#include "core/json.h"

namespace qor::testing {
namespace {

// qor-mcp is built beside qor-native.
std::string mcpPath() {
  return (std::filesystem::path(bridgePath()).parent_path() / "qor-mcp").string();
}

Json readMessage(ChildProcess& mcp) {
  std::optional<std::string> line = mcp.readLine();
  EXPECT_TRUE(line) << mcp.errorOutput();
  return line ? Json::parse(*line) : Json();
}

void initialize(ChildProcess& mcp) {
  mcp.write(
      R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})"
      "\n");
  EXPECT_EQ(readMessage(mcp)["result"]["protocolVersion"], "2025-06-18");
}

Json callTool(ChildProcess& mcp, int id, const std::string& tool) {
  mcp.write(wire::serialize(Json{{"jsonrpc", "2.0"},
                                 {"id", id},
                                 {"method", "tools/call"},
                                 {"params", {{"name", tool}, {"arguments", Json::object()}}}}) +
            "\n");
  return readMessage(mcp);
}

TEST(McpProcessTest, CommandLine) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string output;  // the start of standard output
    bool errorOutput;
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, "qor-mcp ", false},
      {{"--help"}, 0, "Usage: qor-mcp", false},
      {{"--bogus"}, 2, "", true},
      {{"--bridge"}, 2, "", true},
  };
  for (const Case& each : cases) {
    ChildProcess mcp(mcpPath(), {each.arguments, {}});
    mcp.closeInput();
    EXPECT_EQ(mcp.waitForExit(), each.status) << each.arguments[0];
    EXPECT_EQ(mcp.pendingOutput().substr(0, each.output.size()), each.output) << each.arguments[0];
    EXPECT_EQ(mcp.pendingOutput().empty(), each.output.empty()) << each.arguments[0];
    EXPECT_EQ(mcp.errorOutput().empty(), !each.errorOutput) << each.arguments[0];
  }
}

// Started from a terminal without arguments: one line on standard error saying what it expects
// and where to read more, nothing on standard output; the terminal's end is the end of input.
TEST(McpProcessTest, TerminalHint) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  int output[2];
  int errors[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(errors, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, ptsname(terminal), O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
  const std::string program = mcpPath();
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  close(errors[1]);
  auto readAll = [](int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    return text;
  };
  // The hint is written before anything is read, so it can be awaited before the terminal ends.
  char first = 0;
  ASSERT_EQ(read(errors[0], &first, 1), 1);
  close(terminal);
  const std::string hint = first + readAll(errors[0]);
  EXPECT_EQ(readAll(output[0]), "");
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(hint.find('\n'), hint.size() - 1) << "one line: " << hint;
  EXPECT_NE(hint.find("standard input"), std::string::npos) << hint;
  EXPECT_NE(hint.find("--help"), std::string::npos) << hint;
}

// A bridge that cannot start or ends at once: every call gets an error result saying so, the
// next call tries a fresh bridge, and qor-mcp itself goes on and ends normally.
TEST(McpProcessTest, BridgeFaultsEndTheCallNotTheServer) {
  struct Case {
    std::string bridge;
    std::string code;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"/bin/false", "bridgeExited", "exited with status 1"},
      {"/nonexistent/qor-native", "bridgeUnavailable", "cannot start /nonexistent/qor-native"},
  };
  for (const Case& each : cases) {
    ChildProcess mcp(mcpPath(), {{"--bridge", each.bridge}, {}});
    initialize(mcp);
    for (int call = 1; call <= 2; ++call) {
      const Json result = callTool(mcp, call, "permissions_status")["result"];
      EXPECT_TRUE(result["isError"]) << each.bridge;
      const std::string text = result["content"][0]["text"];
      EXPECT_NE(text.find(each.code), std::string::npos) << text;
      EXPECT_NE(text.find(each.says), std::string::npos) << text;
    }
    mcp.closeInput();
    EXPECT_EQ(mcp.waitForExit(), 0) << each.bridge;
  }
}

// With the real bridge: a call goes through, the trace records both sides, and the end of input
// ends qor-mcp and its bridge.
TEST(McpProcessTest, RealBridgeAndTrace) {
  ScratchDirectory scratch;
  const std::filesystem::path trace = scratch.path() / "trace";
  ChildProcess mcp(mcpPath(), {{"--trace", trace.string()},
                               {{"DISPLAY", std::nullopt}, {"TMPDIR", scratch.path().string()}}});
  initialize(mcp);
  const Json result = callTool(mcp, 1, "permissions_status")["result"];
  EXPECT_FALSE(result["isError"]) << result.dump();
  EXPECT_TRUE(result["structuredContent"].contains("accessibility"));
  mcp.closeInput();
  EXPECT_EQ(mcp.waitForExit(), 0);
  std::ifstream file(trace);
  std::stringstream text;
  text << file.rdbuf();
  for (const char* direction : {"client> ", ">client ", ">bridge ", "bridge> "}) {
    EXPECT_NE(text.str().find(direction), std::string::npos) << direction << text.str();
  }
}

}  // namespace
}  // namespace qor::testing
