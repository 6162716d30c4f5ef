#include "trace/trace_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace qor::trace {
namespace {

using Clock = std::chrono::steady_clock;

// Seconds with microseconds, the way both time stamps and durations are written.
std::string seconds(Clock::duration span) {
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(span).count();
  char text[32];
  int length =
      std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(micros / 1'000'000),
                    static_cast<long long>(micros % 1'000'000));
  return std::string(text, static_cast<std::size_t>(length));
}

std::string_view withoutNewline(std::string_view line) {
  if (!line.empty() && line.back() == '\n') {
    line.remove_suffix(1);
  }
  return line;
}

}  // namespace

std::unique_ptr<TraceFile> TraceFile::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    return nullptr;
  }
  return std::unique_ptr<TraceFile>(new TraceFile(fd));
}

TraceFile::~TraceFile() {
  ::close(fd_);
}

void TraceFile::request(std::string_view line) {
  append("request", withoutNewline(line));
}

void TraceFile::response(std::string_view line) {
  append("response", withoutNewline(line));
}

void TraceFile::call(std::string_view name, Clock::duration took) {
  append("call", std::string(name) + ' ' + seconds(took));
}

void TraceFile::done(std::string_view name, Clock::duration took) {
  append("done", std::string(name) + ' ' + seconds(took));
}

// One write per line: appends from one process never interleave inside a line.
void TraceFile::append(std::string_view kind, std::string_view text) {
  std::string line = seconds(Clock::now().time_since_epoch());
  line.reserve(line.size() + kind.size() + text.size() + 3);
  line += ' ';
  line += kind;
  line += ' ';
  line += text;
  line += '\n';
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t written = ::write(fd_, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;  // a full disk costs the trace, never the bridge
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
}

}  // namespace qor::trace
