// The command line: answers that end the process at once, the trace, and the hint for a person
// who starts the bridge from a terminal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "blackbox/support/bridge_process.h"
#include "qor_version.h"

namespace qor::testing {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::vector<std::string> fileLines(const fs::path& path) {
  std::ifstream file(path);
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return linesOf(text);
}

struct ImmediateCase {
  std::vector<std::string> arguments;
  std::optional<std::string> traceVariable;
  int status;
  std::string stdoutPattern;  // the whole standard output must match
  std::string stderrPattern;  // the whole standard error must match
};

void PrintTo(const ImmediateCase& param, std::ostream* out) {
  *out << "qor-native";
  for (const std::string& argument : param.arguments) {
    *out << " '" << argument << "'";
  }
  if (param.traceVariable) {
    *out << " with QOR_TRACE=" << *param.traceVariable;
  }
}

class ImmediateAnswer : public ::testing::TestWithParam<ImmediateCase> {};

// Nothing is read from standard input: the answer and the status come before any request.
TEST_P(ImmediateAnswer, EndsWithTheStatusAndTheOneAnswer) {
  const ImmediateCase& param = GetParam();
  ScratchDirectory temporary;
  ChildOptions options = isolatedOptions(temporary.path());
  options.arguments = param.arguments;
  if (param.traceVariable) {
    options.environment["QOR_TRACE"] = param.traceVariable;
  }
  ChildProcess bridge(bridgePath(), options);
  EXPECT_EQ(bridge.waitForExit(), param.status);
  EXPECT_TRUE(std::regex_match(bridge.pendingOutput(), std::regex(param.stdoutPattern)))
      << bridge.pendingOutput();
  EXPECT_TRUE(std::regex_match(bridge.errorOutput(), std::regex(param.stderrPattern)))
      << bridge.errorOutput();
  EXPECT_EQ(entriesOf(temporary.path()), std::vector<std::string>{}) << "nothing may be created";
}

const std::string kUsage = "Usage: qor-native \\[--trace FILE\\]\n[\\s\\S]*protocol\\.md[\\s\\S]*";
const std::string kOneErrorLine = "qor-native: [^\n]+\n";
const std::string kNothing = "";

INSTANTIATE_TEST_SUITE_P(
    CommandLine, ImmediateAnswer,
    ::testing::Values(
        ImmediateCase{{"--version"}, {}, 0, std::string("qor-native ") + kVersion + "\n", kNothing},
        ImmediateCase{{"--help"}, {}, 0, kUsage, kNothing},
        ImmediateCase{{"-h"}, {}, 0, kUsage, kNothing},
        ImmediateCase{{"--verbose"}, {}, 2, kNothing, "qor-native: unknown option --verbose;.*\n"},
        ImmediateCase{{"version"}, {}, 2, kNothing, kOneErrorLine},
        ImmediateCase{{"--trace"}, {}, 2, kNothing, kOneErrorLine},
        ImmediateCase{{"--trace="}, {}, 2, kNothing, kOneErrorLine},
        ImmediateCase{{"--trace", ""}, {}, 2, kNothing, kOneErrorLine},
        ImmediateCase{{"--tracefile", "x"}, {}, 2, kNothing, kOneErrorLine},
        ImmediateCase{{"--trace", "/no/such/folder/trace"},
                      {},
                      1,
                      kNothing,
                      "qor-native: cannot open trace file /no/such/folder/trace: .+\n"},
        ImmediateCase{{}, "/no/such/folder/trace", 1, kNothing, kOneErrorLine},
        // An unknown option is refused before the trace file is even tried.
        ImmediateCase{{"--bogus"}, "/no/such/folder/trace", 2, kNothing, kOneErrorLine}));

// A run with a trace: the requests and responses appear exactly as on the wire, in order,
// interleaved with the desktop calls that answered them, every line stamped.
// The first `earlier` lines of the file were there before the run.
void expectTraceOfRun(ChildProcess& bridge, const fs::path& trace, std::size_t earlier = 0) {
  const std::vector<std::string> requests = {R"({"id":1,"method":"apps.list"})",
                                             R"({"id":2,"method":"capabilities"})"};
  for (const std::string& request : requests) {
    bridge.write(request + "\n");
  }
  std::vector<std::string> responses = bridge.readLines(2);
  bridge.closeInput();
  ASSERT_EQ(bridge.waitForExit(), 0);
  ASSERT_EQ(responses.size(), 2u);

  const std::regex stamped(R"(([0-9]+\.[0-9]{6}) (request|response|call|done) (.*))");
  std::vector<std::string> received;
  std::vector<std::string> written;
  std::vector<std::string> calls;
  double previous = 0;
  std::vector<std::string> lines = fileLines(trace);
  ASSERT_GE(lines.size(), earlier);
  for (const std::string& line : std::vector(lines.begin() + earlier, lines.end())) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, stamped)) << line;
    double stamp = std::stod(parts[1]);
    EXPECT_GE(stamp, previous) << line;
    previous = stamp;
    if (parts[2] == "request") {
      received.push_back(parts[3]);
    } else if (parts[2] == "response") {
      written.push_back(parts[3]);
      // A response is traced after the request it answers.
      EXPECT_GE(received.size(), written.size()) << line;
    } else {
      calls.push_back(parts[3]);
    }
  }
  EXPECT_EQ(received, requests);
  for (std::string& response : responses) {
    response.pop_back();  // the newline, which the trace does not repeat
  }
  EXPECT_EQ(written, responses);
  EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const std::string& call) {
    return std::regex_match(call, std::regex(R"(runningApplications [0-9]+\.[0-9]{6})"));
  })) << "the list asks the desktop for the running applications";
}

TEST(CommandLine, TracesToTheFileTheOptionNamesRatherThanTheVariable) {
  ScratchDirectory temporary;
  ScratchDirectory traces;
  ChildOptions options = isolatedOptions(temporary.path());
  options.arguments = {"--trace", (traces.path() / "option.trace").string()};
  options.environment["QOR_TRACE"] = (traces.path() / "variable.trace").string();
  ChildProcess bridge(bridgePath(), options);
  expectTraceOfRun(bridge, traces.path() / "option.trace");
  EXPECT_EQ(entriesOf(traces.path()), std::vector<std::string>{"option.trace"});
  EXPECT_EQ(bridge.errorOutput(), "");
}

TEST(CommandLine, AppendsToTheFileTheVariableNames) {
  ScratchDirectory temporary;
  ScratchDirectory traces;
  fs::path trace = traces.path() / "variable.trace";
  std::ofstream(trace) << "kept\n";
  ChildOptions options = isolatedOptions(temporary.path());
  options.environment["QOR_TRACE"] = trace.string();
  ChildProcess bridge(bridgePath(), options);
  expectTraceOfRun(bridge, trace, 1);
  EXPECT_EQ(fileLines(trace).front(), "kept");
}

// Started from a terminal without arguments: one line on standard error, nothing on standard
// output but the answers, and the bridge runs as usual until the terminal's input ends.
TEST(CommandLine, TellsAPersonAtATerminalWhatItExpects) {
  ScratchDirectory temporary;
  int terminal = -1;
  int errors[2];
  ASSERT_EQ(pipe2(errors, O_CLOEXEC), 0);
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  std::string path = bridgePath();
  std::string tmpdir = "TMPDIR=" + temporary.path().string();
  pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    char* arguments[] = {path.data(), nullptr};
    char* environment[] = {tmpdir.data(), nullptr};
    execve(path.c_str(), arguments, environment);
    _exit(127);
  }
  close(output[1]);
  close(errors[1]);
  std::string request = "{\"id\":7,\"method\":\"capabilities\"}\n\x04";
  ASSERT_EQ(write(terminal, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  auto readAll = [](int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  };
  std::string answers = readAll(output[0]);  // ends when the bridge exits
  std::string hint = readAll(errors[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(terminal);
  close(output[0]);
  close(errors[0]);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_TRUE(std::regex_match(
      hint, std::regex("qor-native: expects one JSON request per line on standard input.*"
                       "protocol\\.md\n")))
      << hint;
  ASSERT_EQ(linesOf(answers).size(), 1u) << answers;
  EXPECT_TRUE(answers.starts_with("{\"id\":7,\"result\":{")) << answers;
}

}  // namespace
}  // namespace qor::testing
