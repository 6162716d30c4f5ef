#pragma once
// The opt-in trace for people who debug an integration: one line per request received, response
// written and desktop call, each stamped with the monotonic clock in seconds, appended to a file.
//
//   2841.004127 request {"id":1,"method":"apps.list"}
//   2841.004135 call runningApplications 0.000091
//   2841.004410 response {"id":1,"result":{...}}
//
// A call that completes later (a launch, a capture) adds a "done" line with the time from the
// call to its completion. Each line is one write() to a file opened for appending, so nothing is
// lost when the process ends abruptly.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

namespace qor::trace {

class TraceFile {
 public:
  // Opens (creating with mode 0600 when needed) `path` for appending; nullptr when it cannot,
  // with errno telling why.
  static std::unique_ptr<TraceFile> open(const std::string& path);
  ~TraceFile();
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;

  void request(std::string_view line);
  void response(std::string_view line);  // a trailing newline is not repeated
  void call(std::string_view name, std::chrono::steady_clock::duration took);
  void done(std::string_view name, std::chrono::steady_clock::duration took);

 private:
  explicit TraceFile(int fd) : fd_(fd) {}
  void append(std::string_view kind, std::string_view text);

  int fd_;
};

}  // namespace qor::trace
