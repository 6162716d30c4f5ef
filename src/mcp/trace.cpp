#include "mcp/trace.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace qor::mcp {

Trace::Trace(const std::string& path) {
  if (!path.empty()) {
    file_ = std::fopen(path.c_str(), "ae");
  }
}

Trace::~Trace() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

void Trace::record(std::string_view direction, std::string_view message) {
  if (file_ == nullptr) {
    return;
  }
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[40];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  std::fprintf(file_, "%.*s %s.%03lldZ %.*s\n", static_cast<int>(direction.size()),
               direction.data(), stamp, static_cast<long long>(millis),
               static_cast<int>(message.size()), message.data());
  std::fflush(file_);
}

std::string tracePath(const std::string& option) {
  if (!option.empty()) {
    return option;
  }
  const char* variable = std::getenv("QOR_TRACE");
  return variable != nullptr ? variable : "";
}

}  // namespace qor::mcp
