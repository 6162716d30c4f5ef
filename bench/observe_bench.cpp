// How fast "app.observe" walks a real window, against python3-pyatspi (Debian's AT-SPI client)
// reading the same attributes of the same elements, in one run on the same applications:
//
// - gtk3-widget-factory, its whole window (target: at least 10 times faster than pyatspi);
// - the project's fixture with a 2,000-row list, observed with the default budget (500
//   elements; target: a median under 150 ms) and with the largest (2,000);
// - one application of each other toolkit: gnome-calculator (GTK 4), featherpad (Qt 5), a form
//   page in Firefox and in Chromium, and LibreOffice Writer (target: at least 10 times faster
//   than pyatspi, or within 1.25 times the application's own processor time where that makes
//   10 times impossible).
//
// Run it with:  cmake --build build --target observe_bench && build/bench/observe_bench
// Words after it measure only the applications whose names contain one of them, as in
// `observe_bench featherpad Firefox` (gtk3-widget-factory and the fixture count as "GTK 3").
// It starts its own private desktop session (scripts/desktop-session.sh) and prints medians,
// with the processor time the application spent answering one observation (the walk can be no
// faster than that, and on a busy machine it is what the two sides compete for) and the time
// the bridge spent on it.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "support/desktop_bench.h"

namespace {

namespace fs = std::filesystem;
using qor::Json;
using namespace qor::bench;

constexpr int kObserveRuns = 11;
constexpr int kBaselineRuns = 4;  // the first is a warm-up, as for app.observe

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Medians, and the fastest runs: pyatspi waits for a round trip per attribute, so other load
// on the machine moves its figures far more than the bridge's.
struct Figures {
  double observe = 0;
  double observeFastest = 0;
  double first = 0;           // the first observation, in milliseconds
  double applicationCPU = 0;  // milliseconds per observation
  double bridgeCPU = 0;       // likewise
  std::optional<double> baseline;
  double baselineFastest = 0;
  long long nodes = 0;
};

// Milliseconds of processor time all threads of `pid` have used so far.
double cpuMilliseconds(pid_t pid) {
  double total = 0;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::ifstream schedstat(task.path() / "schedstat");
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) {
      total += nanoseconds / 1e6;
    }
  }
  return total;
}

Figures measure(Bridge& bridge, pid_t pid, const Json& params, bool withBaseline) {
  Figures figures;
  // The first observation of a window costs more: the toolkit creates its accessible objects.
  figures.first = bridge.timed("app.observe", params).second;
  std::vector<double> runs, cpu, bridgeCPU;
  for (int i = 0; i < kObserveRuns; ++i) {
    double before = cpuMilliseconds(pid);
    double bridgeBefore = cpuMilliseconds(bridge.pid());
    auto [result, ms] = bridge.timed("app.observe", params);
    cpu.push_back(cpuMilliseconds(pid) - before);
    bridgeCPU.push_back(cpuMilliseconds(bridge.pid()) - bridgeBefore);
    figures.nodes = result["nodeCount"].get<long long>();
    runs.push_back(ms);
  }
  figures.observe = median(runs);
  figures.observeFastest = *std::min_element(runs.begin(), runs.end());
  figures.applicationCPU = median(cpu);
  figures.bridgeCPU = median(bridgeCPU);
  if (withBaseline) {
    std::string output = runToEnd(
        {"/usr/bin/python3", (sourceRoot() / "bench" / "pyatspi_baseline.py").string(), "--pid",
         std::to_string(pid), "--max-nodes", std::to_string(figures.nodes), "--max-depth",
         std::to_string(params.value("maxDepth", 12)), "--runs", std::to_string(kBaselineRuns)});
    Json baseline = Json::parse(output);
    std::vector<double> times = baseline["runs"].get<std::vector<double>>();
    times.erase(times.begin());
    figures.baseline = median(times);
    figures.baselineFastest = *std::min_element(times.begin(), times.end());
    if (baseline["nodes"].get<long long>() != figures.nodes) {
      std::printf("  (pyatspi read %lld elements)\n", baseline["nodes"].get<long long>());
    }
  }
  return figures;
}

void report(const std::string& title, const Figures& figures, const std::string& target) {
  std::printf("%s: %lld elements\n", title.c_str(), figures.nodes);
  std::printf("  app.observe       %8.1f ms   median of %d, fastest %.1f ms\n", figures.observe,
              kObserveRuns, figures.observeFastest);
  std::printf("  first observation %8.1f ms\n", figures.first);
  std::printf("  application CPU   %8.1f ms   per observation, median\n", figures.applicationCPU);
  std::printf("  bridge CPU        %8.1f ms   per observation, median\n", figures.bridgeCPU);
  if (figures.baseline) {
    std::printf("  pyatspi baseline  %8.1f ms   median of %d, fastest %.1f ms\n", *figures.baseline,
                kBaselineRuns - 1, figures.baselineFastest);
    std::printf("  ratio             %8.1fx   of the fastest runs %.1fx\n",
                *figures.baseline / figures.observe,
                figures.baselineFastest / figures.observeFastest);
  }
  std::printf("  target: %s\n", target.c_str());
  std::fflush(stdout);
}

struct Toolkit {
  std::string name;
  std::vector<std::string> command;
};

std::string bundleOf(Bridge& bridge, pid_t pid) {
  const Json listed = bridge.timed("apps.list", Json::object()).first;
  for (const Json& app : listed["applications"]) {
    if (app.value("pid", Json()) == Json(pid)) {
      return app.value("bundleId", "");
    }
  }
  throw std::runtime_error("not listed");
}

// The process of the running instance of `bundle`, once there is one.
pid_t runningInstance(Bridge& bridge, const std::string& bundle) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const Json listed = bridge.timed("apps.list", Json::object()).first;
    for (const Json& app : listed["applications"]) {
      if (app.value("bundleId", "") == bundle && app.value("running", false) &&
          app.contains("pid") && ::kill(app["pid"].get<pid_t>(), 0) == 0) {
        return app["pid"].get<pid_t>();
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  throw std::runtime_error(bundle + " is not running");
}

// The desktop session's own directory, which the session removes when it ends.
fs::path sessionDirectory() {
  const char* directory = std::getenv("XDG_RUNTIME_DIR");
  return directory ? fs::path(directory) : fs::temp_directory_path();
}

// A small form, for the browsers.
std::string formPage() {
  std::string path = (sessionDirectory() / "qor-bench-form.html").string();
  std::ofstream page(path);
  page << "<!doctype html><title>Form</title><form>";
  for (int i = 0; i < 20; ++i) {
    page << "<p><label>Field " << i << " <input name=f" << i << "></label>"
         << "<label><input type=checkbox> Option " << i << "</label></p>";
  }
  page << "<button>Send</button></form>";
  return "file://" + path;
}

std::vector<Toolkit> toolkits() {
  std::string profile = (sessionDirectory() / "qor-bench-browser").string();
  for (const char* browser : {"-firefox", "-chromium"}) {
    fs::remove_all(profile + browser);
    fs::create_directories(profile + browser);
  }
  return {
      {"gnome-calculator (GTK 4)", {"gnome-calculator"}},
      {"featherpad (Qt 5)", {"env", "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1", "featherpad"}},
      {"Firefox form page",
       {"env", "GNOME_ACCESSIBILITY=1", "firefox-esr", "-no-remote", "-profile",
        profile + "-firefox", formPage()}},
      {"Chromium form page",
       {"chromium", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--user-data-dir=" + profile + "-chromium", "--force-renderer-accessibility", formPage()}},
      {"LibreOffice Writer",
       {"env", "SAL_USE_VCLPLUGIN=gtk3", "/usr/lib/libreoffice/program/soffice.bin", "--norestore",
        "--nologo", "--writer"}},
  };
}

// Whether the command line asks for the application called `name`: it asks for all when empty.
bool wanted(const std::vector<std::string>& words, const std::string& name) {
  return words.empty() || std::any_of(words.begin(), words.end(), [&](const std::string& word) {
           return name.find(word) != std::string::npos;
         });
}

void measureGtk3(Bridge& bridge) {
  Child factory = spawn({"gtk3-widget-factory"}, false, false, true);
  settle(factory.pid);
  Figures whole =
      measure(bridge, factory.pid, {{"bundleId", "gtk3-widget-factory"}, {"maxNodes", 2000}}, true);
  stop(factory);
  report("gtk3-widget-factory, whole window", whole, "at least 10x faster than pyatspi");

  Child fixture = spawn({(buildRoot() / "tests" / "fixture" / "qor_fixture").string(), "--rows",
                         "2000", "--new-instance"},
                        false, true, true);
  std::string buffered;
  readLine(fixture.out, buffered);  // "ready <pid>": its window is mapped
  settle(fixture.pid);
  report("fixture with 2,000 rows, default budget",
         measure(bridge, fixture.pid, {{"bundleId", "dev.qor.Fixture"}}, true),
         "median under 150 ms");
  report("fixture with 2,000 rows, maxNodes 2000",
         measure(bridge, fixture.pid, {{"bundleId", "dev.qor.Fixture"}, {"maxNodes", 2000}}, true),
         "none (the largest budget)");
  stop(fixture);
}

int benchmark(const std::vector<std::string>& words) {
  std::printf("app.observe benchmark, %ld cores, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
              loadAverage().c_str());
  Bridge bridge;
  if (wanted(words, "GTK 3")) {
    measureGtk3(bridge);
  }
  for (const Toolkit& toolkit : toolkits()) {
    if (!wanted(words, toolkit.name)) {
      continue;
    }
    Child app = spawn(toolkit.command, false, false, true);
    pid_t pid = app.pid;
    try {
      settle(app.pid);
      const std::string bundle = bundleOf(bridge, app.pid);
      // Firefox starts itself again in a new process on a fresh profile.
      pid = runningInstance(bridge, bundle);
      settle(pid);
      const Json params = {{"bundleId", bundle}, {"maxNodes", 2000}};
      // Browsers and office suites fill their window a moment after it shows.
      bridge.timed("app.observe", params);
      report(toolkit.name, measure(bridge, pid, params, true),
             "at least 10x faster than pyatspi, or within 1.25x of the application's CPU");
    } catch (const std::exception& failure) {
      std::printf("%s: not measured (%s)\n", toolkit.name.c_str(), failure.what());
    }
    if (pid != app.pid) {
      kill(pid, SIGTERM);
    }
    stop(app);
  }
  std::printf("load average afterwards %s\n", loadAverage().c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  return qor::bench::runInDesktopSession(argc, argv, "observe_bench",
                                         [&words] { return benchmark(words); });
}
