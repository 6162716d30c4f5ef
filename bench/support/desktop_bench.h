#pragma once
// What the benchmarks on a real desktop share: re-running themselves inside a private desktop
// session, starting programs there and waiting for their windows, and speaking to the product
// executable through its pipes.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/json.h"

namespace qor::bench {

using Clock = std::chrono::steady_clock;

std::filesystem::path sourceRoot();
std::filesystem::path buildRoot();  // the build directory this benchmark was built in

// A child process with optional pipes for its standard input and output.
struct Child {
  pid_t pid = -1;
  int in = -1;
  int out = -1;
};

// Applications started here print toolkit chatter on standard error; `quiet` drops it.
Child spawn(const std::vector<std::string>& arguments, bool pipeIn, bool pipeOut,
            bool quiet = false);
// The next line of `fd`, keeping what was read past it in `buffered`.
std::string readLine(int fd, std::string& buffered);
// Runs a program to its end and returns its standard output.
std::string runToEnd(const std::vector<std::string>& arguments);
void stop(Child& child);
// Waits (through xdotool --sync) until the program shows a window, and makes it active.
void settle(pid_t pid);
std::string loadAverage();

// The product executable ($QOR_NATIVE_BINARY, else the one built beside the benchmark).
class Bridge {
 public:
  Bridge();
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Sends a request and returns its result and how long the answer took, in milliseconds.
  std::pair<Json, double> timed(const std::string& method, const Json& params);
  pid_t pid() const { return child_.pid; }

 private:
  Child child_;
  std::string buffered_;
  long long nextID_ = 1;
};

// Runs `benchmark` inside a private desktop session: outside one, this program starts the session
// with itself as its command. Failures are printed under `name`; the result is the exit status.
int runInDesktopSession(int argc, char** argv, const char* name,
                        const std::function<int()>& benchmark);

}  // namespace qor::bench
