// The bridge's own cost of running action batches, on the simulated desktop with a virtual clock
// so that the fixed pauses (40 ms after each action, 60 ms inside a double click) cost no real
// time. What is measured is everything else: request parsing, validation before every action,
// the foreground guard, building and posting the events (into the simulated desktop's log), the
// scheduler's pauses and per-character yields, and the response.
//
// Baseline, measured in the same run: a batch of one zero-length wait, that is the frame of a
// batch without any action work.
//
//   cmake --build build --target act_sim_bench && build/bench/act_sim_bench

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bridge/native_runtime.h"
#include "core/json.h"
#include "platform/sim/sim_desktop.h"
#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace {

using namespace qor;
using Clock = std::chrono::steady_clock;

constexpr desktop::Pid kPid = 100;
constexpr std::int64_t kWindow = 10;
constexpr Frame kFrame{100, 100, 800, 600};
constexpr const char* kBundle = "com.example.editor";
constexpr const char* kObservation = "5E1F2F6A-0000-4000-8000-000000000001";

std::filesystem::path makeTemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qor-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

class Bench {
 public:
  Bench()
      : temporary_(makeTemporaryDirectory()),
        runtime_(NativeRuntime::Environment{desktop_, loop_,
                                            [this](std::string_view line) { lastResponse_ = line; },
                                            [](int) {}, temporary_}) {
    sim::SimApplication& editor = desktop_.addApplication(kPid, kBundle);
    auto window = sim::element("AXWindow")->title("Untitled")->frame(kFrame);
    auto field = sim::element("AXTextField")->title("Name");
    window->child(field);
    editor.element->windows({window})->focusedWindow(window)->focusedUIElement(field);
    window->setOwner(kPid);
    field->setOwner(kPid);
    desktop_.addWindow(kWindow, kPid, kFrame, "Untitled").element = window;
    desktop_.addApplication(200, "com.example.other");
    desktop_.addWindow(20, 200, Frame{0, 0, 1000, 800}, "Elsewhere");
    desktop_.frontmostPid = kPid;
  }
  ~Bench() {
    std::error_code ignored;
    std::filesystem::remove_all(temporary_, ignored);
  }

  // Real time taken by one batch from the request line to its response, in microseconds.
  double run(const Json& actions) {
    prepare();
    std::string line = wire::serialize(
        Json{{"id", 1},
             {"method", "app.act"},
             {"params",
              {{"bundleId", kBundle}, {"observationId", kObservation}, {"actions", actions}}}});
    Clock::time_point start = Clock::now();
    runtime_.receive(line);
    loop_.runUntilIdle();
    while (std::optional<runtime::MonoTime> next = loop_.nextTimerDeadline()) {
      if (*next > clock_.now()) {
        clock_.advance(*next - clock_.now());
      }
      loop_.runUntilIdle();
    }
    double micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (lastResponse_.find("\"result\"") == std::string::npos) {
      throw std::runtime_error("batch failed: " + lastResponse_);
    }
    return micros;
  }

 private:
  // A fresh observation and empty logs, outside the measured time.
  void prepare() {
    desktop_.log = sim::SimLog{};
    Observation observation;
    observation.id = kObservation;
    observation.bundleID = kBundle;
    observation.pid = kPid;
    observation.launchDate = desktop_.application(kPid).launchDate;
    observation.windowID = kWindow;
    observation.frame = kFrame;
    observation.expires = clock_.wallNow() + std::chrono::seconds(120);
    runtime_.observations().add(std::move(observation));
  }

  runtime::VirtualClock clock_;
  runtime::EventLoop loop_{clock_};
  sim::SimDesktop desktop_{loop_};
  std::filesystem::path temporary_;
  std::string lastResponse_;
  NativeRuntime runtime_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double medianOf(int repetitions, const std::function<double()>& measure) {
  std::vector<double> samples;
  for (int i = 0; i < repetitions; ++i) {
    samples.push_back(measure());
  }
  return median(samples);
}

// 1,000 user-perceived characters: ASCII words with an emoji every tenth character.
std::string thousandCharacters() {
  std::string text;
  for (int i = 0; i < 1000; ++i) {
    text +=
        (i % 10 == 9) ? std::string("\U0001F600") : std::string(1, static_cast<char>('a' + i % 26));
  }
  return text;
}

}  // namespace

int main() {
  Bench bench;
  const Json wait = Json::array({Json{{"type", "wait"}, {"milliseconds", 0}}});
  const Json typing = Json::array({Json{{"type", "type"}, {"text", thousandCharacters()}}});
  Json hundred = Json::array();
  for (int i = 0; i < 99; ++i) {
    if (i % 2 == 0) {
      hundred.push_back(Json{{"type", "click"}, {"x", 10 + i}, {"y", 20}});
    } else {
      hundred.push_back(Json{{"type", "key"}, {"key", "tab"}, {"modifiers", {"shift"}}});
    }
  }
  hundred.push_back(typing[0]);

  for (int i = 0; i < 20; ++i) {  // warm-up
    bench.run(wait);
    bench.run(hundred);
  }
  const double baseline = medianOf(2001, [&] { return bench.run(wait); });
  const double typed = medianOf(201, [&] { return bench.run(typing); });
  const double batch = medianOf(201, [&] { return bench.run(hundred); });
  const double perAction = (batch - typed) / 99;

  std::printf("act_sim_bench (medians, real time; pauses on a virtual clock)\n");
  std::printf("  baseline: batch of one 0 ms wait          %9.1f us\n", baseline);
  std::printf("  batch of 100 (50 clicks, 49 keys, text)   %9.1f us  = %6.1f us per action\n",
              batch, batch / 100);
  std::printf(
      "  per click/key action (batch minus text)   %9.1f us  target < 50 us  (%.1fx baseline)\n",
      perAction, perAction / baseline);
  std::printf("  typing 1,000 characters (one batch)       %9.1f us  target < 10,000 us\n", typed);
  std::printf("  typing net of the baseline                %9.1f us  = %6.2f us per character\n",
              typed - baseline, (typed - baseline) / 1000);
  return 0;
}
