#pragma once
// The opt-in trace for people who debug an integration: one line per message, appended to a file:
// the direction, the time (UTC, milliseconds) and the message as it travelled.

#include <cstdio>
#include <string>
#include <string_view>

namespace qor::mcp {

class Trace {
 public:
  // Opens `path` for appending; a trace that cannot be opened records nothing.
  explicit Trace(const std::string& path);
  ~Trace();
  Trace(const Trace&) = delete;
  Trace& operator=(const Trace&) = delete;

  bool open() const { return file_ != nullptr; }
  // `direction` is one of "client>", ">client", ">bridge", "bridge>", "note".
  void record(std::string_view direction, std::string_view message);

 private:
  std::FILE* file_ = nullptr;
};

// Where to trace: the --trace option when given, else the QOR_TRACE environment variable; empty
// when neither names a file.
std::string tracePath(const std::string& option);

}  // namespace qor::mcp
