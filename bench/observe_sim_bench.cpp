// One "app.observe" of a simulated window of 2,000 elements (depth 12, every attribute present,
// long titles), from request line to response line, in process on the simulated desktop.
// Baseline measured in the same run: serializing the response alone, which any answer of this
// size costs; the ratio shows what the walk adds on top.
//
// Usage: observe_sim_bench [runs]   (default 50)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/native_runtime.h"
#include "core/json.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"
#include "runtime/process_memory.h"

namespace {

using namespace qor;
using Clock = std::chrono::steady_clock;

constexpr desktop::Pid kPid = 4242;
constexpr Frame kWindowFrame{100, 80, 1200, 800};
// Elements per depth (0 is the window): 2,000 in all, 13 levels.
constexpr int kLevelSizes[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 400, 400, 400, 289};

std::string longText(const char* prefix, int index) {
  std::string text = std::string(prefix) + " " + std::to_string(index) + " ";
  while (text.size() < 160) {
    text += "lorem ipsum dolor sit amet ";
  }
  return text;
}

sim::SimElement::Ptr fullElement(int index) {
  return sim::element(index == 0 ? "AXWindow" : "AXGroup")
      ->title(longText("Title", index))
      ->subrole("AXStandardWindow")
      ->description(longText("Description", index))
      ->identifier("identifier-" + std::to_string(index))
      ->help(longText("Help", index))
      ->value(longText("Value", index))
      ->enabled(true)
      ->frame({kWindowFrame.x + index % 50, kWindowFrame.y + index % 40, 40, 20})
      ->actions({"AXPress", "AXShowMenu"});
}

// Level by level; each level's elements are spread round-robin over the previous level.
sim::SimElement::Ptr buildWindow() {
  int index = 0;
  std::vector<sim::SimElement::Ptr> previous = {fullElement(index++)};
  previous.front()->frame(kWindowFrame);
  sim::SimElement::Ptr window = previous.front();
  for (std::size_t level = 1; level < std::size(kLevelSizes); ++level) {
    std::vector<sim::SimElement::Ptr> current;
    for (int i = 0; i < kLevelSizes[level]; ++i) {
      current.push_back(fullElement(index++));
      previous[static_cast<std::size_t>(i) % previous.size()]->child(current.back());
    }
    previous = std::move(current);
  }
  return window;
}

void arrange(sim::SimDesktop& desktop) {
  sim::SimApplication app;
  app.pid = kPid;
  app.bundleID = "com.example.bench";
  app.launchDate = 1'700'000'000'000'000'000;
  sim::SimElement::Ptr window = buildWindow();
  app.element->windows({window})->focusedWindow(window);
  desktop.addApplication(std::move(app));
  sim::SimWindow record;
  record.number = 7;
  record.ownerPID = kPid;
  record.bounds = kWindowFrame;
  record.title = "Bench";
  record.element = window;
  desktop.addWindow(std::move(record));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  runtime::keepFreedMemoryForReuse();  // as the product does at start-up
  runtime::RealClock clock;
  runtime::EventLoop loop(clock);
  sim::SimDesktop desktop(loop);
  desktop.recordCalls = false;  // the simulated desktop's own record keeping is not the bridge's
  arrange(desktop);

  std::string response;
  const std::filesystem::path temporary = std::filesystem::temp_directory_path();
  NativeRuntime bridge(NativeRuntime::Environment{
      desktop, loop, [&](std::string_view line) { response.assign(line); }, [](int) {}, temporary});

  const std::string request =
      R"({"id":1,"method":"app.observe","params":{"bundleId":"com.example.bench",)"
      R"("maxNodes":2000,"maxDepth":12}})";
  // The observations run back to back, and the baseline after them: checking each response by
  // parsing it in between would leave the heap to the parser's two million small blocks.
  std::vector<double> observeTimes;
  for (int run = 0; run < runs; ++run) {
    const Clock::time_point start = Clock::now();
    bridge.receive(request);
    loop.runUntilIdle();
    observeTimes.push_back(millisecondsSince(start));
  }
  const Json parsed = Json::parse(response);
  std::vector<double> serializeTimes;
  for (int run = 0; run < runs; ++run) {
    const Clock::time_point start = Clock::now();
    const std::string line = wire::serialize(parsed);
    serializeTimes.push_back(millisecondsSince(start));
    if (line.size() + 1 != response.size() || parsed["result"]["nodeCount"] != 2000) {
      std::fprintf(stderr, "unexpected response: %.200s\n", response.c_str());
      return 1;
    }
  }
  std::filesystem::remove_all(bridge.captures().directory());

  const double observe = median(observeTimes);
  const double serialize = median(serializeTimes);
  std::printf("app.observe, 2000 elements, depth 12, %zu-byte response, %d runs\n", response.size(),
              runs);
  std::printf("  median request line to response line: %.3f ms (target < 5 ms), fastest %.3f ms\n",
              observe, *std::min_element(observeTimes.begin(), observeTimes.end()));
  std::printf("  baseline, serializing the response alone: %.3f ms, fastest %.3f ms\n", serialize,
              *std::min_element(serializeTimes.begin(), serializeTimes.end()));
  std::printf("  ratio: %.2f\n", observe / serialize);
  return observe < 5.0 ? 0 : 2;
}
