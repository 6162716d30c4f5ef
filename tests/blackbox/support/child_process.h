#pragma once
// Starts a program with its three standard streams on pipes and talks to it byte for byte, the
// way a controlling process does. Reads never block without a deadline, and writing keeps
// draining the child's output so that neither side can stall the other.

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::testing {

using namespace std::chrono_literals;

struct ChildOptions {
  std::vector<std::string> arguments;                             // after the program path
  std::map<std::string, std::optional<std::string>> environment;  // set, or unset with nullopt
  bool nonBlockingStreams = false;  // hand the child non-blocking ends, as some parents do
};

class ChildProcess {
 public:
  // The test's own environment with `options.environment` applied.
  ChildProcess(const std::string& program, const ChildOptions& options = {});
  ~ChildProcess();  // kills the child if it is still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes every byte to the child's standard input.
  void write(std::string_view bytes);
  void closeInput();

  // The next complete output line, newline included; nullopt when the deadline passes or the
  // output ends first.
  std::optional<std::string> readLine(std::chrono::milliseconds deadline = 30s);
  // `count` lines; fewer when the deadline passes first.
  std::vector<std::string> readLines(std::size_t count, std::chrono::milliseconds deadline = 30s);

  // Waits for the end of both output streams and then for the process; the exit status, or
  // -signal when a signal ended it, or nullopt when the deadline passes first.
  std::optional<int> waitForExit(std::chrono::milliseconds deadline = 30s);

  // Output not yet taken as lines, and everything written to standard error so far.
  const std::string& pendingOutput() const { return stdout_; }
  const std::string& errorOutput() const { return stderr_; }

 private:
  // Polls the output pipes (and, when `writable` is set, the input pipe) once until `until`.
  // Returns false when the deadline passed without any activity.
  bool pumpOnce(std::chrono::steady_clock::time_point until, bool* writable = nullptr);

  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  int errors_ = -1;
  std::string stdout_;
  std::string stderr_;
  std::optional<int> status_;
};

}  // namespace qor::testing
