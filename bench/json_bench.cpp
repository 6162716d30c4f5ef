// Reading and writing request lines: wire::parse and wire::serialize on the largest lines the
// bridge accepts (2 MiB) and on a small one, against nlohmann's own Json::parse on the same bytes
// in the same run as the baseline.
//
//   json_bench [runs]      median of `runs` timings per figure (default 31; the small request
//                          is timed in batches of 1,000 and reported per request)
//
// Inputs: a 2 MiB request whose text is plain ASCII, one whose text is CJK (three UTF-8 bytes a
// character), one whose text is mostly escapes (\" \\ \/ \n \t \u00e9 and a surrogate pair), one
// made of many small objects and numbers, and a small request like most lines. A 2 MiB line must
// be answered end to end in under 10 ms, so parse + serialize has to stay well below that.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "core/json.h"

namespace {

constexpr std::size_t kLongestLine = 2097152;

// {"id":..,"method":"app.typeText","params":{"text":"<units...>"}} filled up to 2 MiB; `unit` is
// raw JSON string content, repeated whole, then padded with ASCII.
std::string textRequest(const std::string& unit) {
  const std::string head = R"({"id":"bench-1","method":"app.typeText","params":{"text":")";
  const std::string tail = R"(","targetApp":"com.example.Editor"}})";
  std::string line = head;
  line.reserve(kLongestLine);
  while (line.size() + unit.size() + tail.size() <= kLongestLine) {
    line += unit;
  }
  line.append(kLongestLine - line.size() - tail.size(), 'x');
  line += tail;
  return line;
}

std::string asciiRequest() {
  return textRequest("The quick brown fox jumps over the lazy dog, 0123456789 times. ");
}

std::string cjkRequest() {
  // 中文文本和日本語のテキスト、한국어 텍스트。
  return textRequest(
      "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE6\x9C\xAC\xE5\x92\x8C\xE6\x97\xA5\xE6\x9C\xAC\xE8"
      "\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88\xE3\x80\x81\xED\x95"
      "\x9C\xEA\xB5\xAD\xEC\x96\xB4 \xED\x85\x8D\xEC\x8A\xA4\xED\x8A\xB8\xE3\x80\x82");
}

std::string escapeRequest() {
  return textRequest(R"(\"q\"\\\/\n\t\u00e9\ud83d\ude00\r\b\f)");
}

// {"id":7,"method":"app.act","params":{"actions":[{"type":"click","x":..,"y":..,...},...]}}
std::string structureRequest() {
  const std::string head = R"({"id":7,"method":"app.act","params":{"actions":[)";
  const std::string tail = "]}}";
  std::string line = head;
  line.reserve(kLongestLine);
  for (int i = 0;; ++i) {
    const std::string action = (i == 0 ? "" : ",") + std::string(R"({"type":"click","x":)") +
                               std::to_string(i % 1920) + ".5,\"y\":" + std::to_string(i % 1080) +
                               R"(,"button":"left","count":1,"modifiers":["shift"],"hold":false})";
    if (line.size() + action.size() + tail.size() > kLongestLine) {
      break;
    }
    line += action;
  }
  line += tail;
  return line;
}

std::string smallRequest() {
  return R"({"id":42,"method":"app.act","params":{"actions":[{"type":"click","x":10.5,"y":20}],)"
         R"("targetApp":"com.example.Editor","operationId":"op-42"}})";
}

// Wall time and this thread's CPU time. The machine is shared, so wall time includes waiting for a
// core; CPU time is the work itself.
struct Timing {
  double wallMicros;
  double cpuMicros;
};

double threadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

double median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

Timing medianTiming(int runs, int batch, const std::function<void()>& work) {
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = threadCpuMicros();
    for (int i = 0; i < batch; ++i) {
      work();
    }
    cpu.push_back((threadCpuMicros() - cpuStart) / batch);
    const std::chrono::duration<double, std::micro> elapsed =
        std::chrono::steady_clock::now() - start;
    wall.push_back(elapsed.count() / batch);
  }
  return {median(wall), median(cpu)};
}

std::size_t sink = 0;  // keeps results alive so no timed work is optimised away

void print(const char* what, Timing timing) {
  std::printf("  %-22s wall %9.1f us   cpu %9.1f us\n", what, timing.wallMicros, timing.cpuMicros);
}

bool measure(const char* name, const std::string& line, int runs, int batch) {
  const std::optional<qor::Json> ours = qor::wire::parse(line);
  const qor::Json reference = qor::Json::parse(line);
  if (!ours || qor::wire::serialize(*ours) != qor::wire::serialize(reference)) {
    std::printf("%s: wire::parse and Json::parse disagree\n", name);
    return false;
  }
  const Timing parse = medianTiming(runs, batch, [&] { sink += qor::wire::parse(line)->size(); });
  const Timing baseline = medianTiming(runs, batch, [&] { sink += qor::Json::parse(line).size(); });
  const Timing write =
      medianTiming(runs, batch, [&] { sink += qor::wire::serialize(*ours).size(); });
  std::printf("%s (%zu bytes)\n", name, line.size());
  print("wire::parse", parse);
  print("Json::parse (baseline)", baseline);
  print("wire::serialize", write);
  std::printf(
      "  parse / baseline: wall %.2f, cpu %.2f; parse + serialize: wall %.1f us, cpu %.1f us\n",
      parse.wallMicros / baseline.wallMicros, parse.cpuMicros / baseline.cpuMicros,
      parse.wallMicros + write.wallMicros, parse.cpuMicros + write.cpuMicros);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 31;
  std::printf("medians of %d runs (below 1 the ratio favours wire::parse)\n", runs);
  bool agreed = measure("2 MiB ASCII text", asciiRequest(), runs, 1);
  agreed = measure("2 MiB CJK text", cjkRequest(), runs, 1) && agreed;
  agreed = measure("2 MiB escape-heavy text", escapeRequest(), runs, 1) && agreed;
  agreed = measure("2 MiB small objects", structureRequest(), runs, 1) && agreed;
  agreed = measure("small request", smallRequest(), runs, 1000) && agreed;
  return agreed && sink != 0 ? 0 : 1;
}
