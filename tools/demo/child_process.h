#pragma once
// A program the demonstration starts, with pipes to its standard input and output.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qor::demo {

enum class Input { Pipe, Closed };

// Starts `arguments` (the first one found on PATH when it has no slash). Its standard output is
// always a pipe to us; standard input is a pipe only when asked; standard error is shared with
// ours. The destructor ends a program still running (SIGTERM, SIGKILL after two seconds).
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& arguments, Input input);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Writes one line (a newline is added). Throws when the program no longer reads.
  void writeLine(const std::string& line);
  // The next line of the program's output, or nothing when `limit` passed or the output ended.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  // Closes the program's standard input, waits up to `limit` for it to exit and returns its exit
  // status (128 + signal when a signal ended it); nothing when it is still running then.
  std::optional<int> closeInputAndWait(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string buffered_;
};

}  // namespace qor::demo
