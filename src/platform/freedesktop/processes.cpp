#include "platform/freedesktop/processes.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace qor::platform {
namespace {

std::optional<long long> bootTimeSeconds() {
  std::ifstream stat("/proc/stat");
  std::string key;
  long long value = 0;
  while (stat >> key) {
    if (key == "btime" && stat >> value) {
      return value;
    }
    stat.ignore(1 << 20, '\n');
  }
  return std::nullopt;
}

std::string readFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

}  // namespace

std::optional<ProcessFacts> readProcess(desktop::Pid pid) {
  if (pid <= 0) {
    return std::nullopt;
  }
  const std::string base = "/proc/" + std::to_string(pid);
  std::string stat = readFirstLine(base + "/stat");
  // The process name is in parentheses and may itself hold spaces and parentheses.
  std::size_t close = stat.rfind(')');
  std::size_t open = stat.find('(');
  if (stat.empty() || close == std::string::npos || open == std::string::npos) {
    return std::nullopt;
  }
  ProcessFacts facts;
  facts.pid = pid;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  // Fields after the name start with the state (field 3); the start time is field 22.
  for (int index = 3; fields >> field; ++index) {
    if (index == 3) {
      facts.zombie = field == "Z" || field == "X";
    }
    if (index == 22) {
      static const std::optional<long long> boot = bootTimeSeconds();
      static const long ticks = sysconf(_SC_CLK_TCK);
      if (boot && ticks > 0) {
        long long tick = std::stoll(field);
        facts.started = *boot * 1'000'000'000LL + tick / ticks * 1'000'000'000LL +
                        (tick % ticks) * 1'000'000'000LL / ticks;
      }
      break;
    }
  }
  std::error_code error;
  std::filesystem::path program = std::filesystem::read_symlink(base + "/exe", error);
  facts.executable = error ? stat.substr(open + 1, close - open - 1) : program.filename().string();
  const std::string deleted = " (deleted)";  // the program file was replaced while running
  if (facts.executable.size() > deleted.size() && facts.executable.ends_with(deleted)) {
    facts.executable.resize(facts.executable.size() - deleted.size());
  }
  return facts;
}

bool processRunning(desktop::Pid pid, const std::optional<desktop::LaunchDate>& started) {
  std::optional<ProcessFacts> facts = readProcess(pid);
  return facts && !facts->zombie && facts->started == started;
}

}  // namespace qor::platform
