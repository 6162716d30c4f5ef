// The tracing desktop in front of the simulated one: each request answers as it would without the
// trace, and the trace names every desktop call the bridge made, once and in order.

#include "trace/tracing_desktop.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "bridge/support/harness.h"
#include "bridge/support/sim_fixtures.h"

namespace qor::testing {
namespace {

struct TracedRequest {
  std::string method;
  Json params;
};

// The call's name as the simulated desktop logs it: the method, with the attribute for reads.
std::string callName(const std::string& logged) {
  if (logged.starts_with("copyAttribute ")) {
    return logged;
  }
  return logged.substr(0, logged.find_first_of(" ("));
}

std::vector<std::string> tracedCalls(const std::filesystem::path& trace) {
  std::vector<std::string> calls;
  std::ifstream file(trace);
  for (std::string line; std::getline(file, line);) {
    std::size_t kind = line.find(' ') + 1;
    if (line.compare(kind, 5, "call ") == 0) {
      std::string call = line.substr(kind + 5, line.rfind(' ') - kind - 5);
      calls.push_back(callName(call));
    }
  }
  return calls;
}

TEST(TracingDesktop, ForwardsEveryCallOnceAndTracesItInOrder) {
  Harness h;
  addEditor(h.desktop);
  std::filesystem::path tracePath = h.temporary.path() / "calls.trace";
  std::unique_ptr<trace::TraceFile> traceFile = trace::TraceFile::open(tracePath.string());
  ASSERT_TRUE(traceFile);
  trace::TracingDesktop traced(h.desktop, *traceFile);
  std::vector<std::string> lines;
  NativeRuntime runtime(NativeRuntime::Environment{
      traced, h.loop, [&lines](std::string_view line) { lines.emplace_back(line); }, [](int) {},
      h.temporary.path()});

  const Json bundle = EditorFixture::kBundle;
  const std::vector<TracedRequest> requests = {
      {"capabilities", Json::object()},
      {"permissions.status", {{"bundleId", bundle}}},
      {"permissions.request", {{"permission", "accessibility"}}},
      {"apps.list", {{"includeIcons", true}, {"bundleIds", {"com.example.none"}}}},
      {"apps.focus", {{"bundleId", bundle}}},
      {"app.observe", {{"bundleId", bundle}}},
      {"app.appleEvent", {{"bundleId", bundle}, {"eventClass", "aevt"}, {"eventId", "oapp"}}},
      {"apps.launch", {{"bundleId", bundle}}},
  };
  h.desktop.automation[EditorFixture::kBundle] = 0;
  int id = 0;
  for (const TracedRequest& request : requests) {
    runtime.receive(wire::serialize(
        Json{{"id", ++id}, {"method", request.method}, {"params", request.params}}));
    h.drain();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(id)) << request.method << " did not answer";
    Json answer = Json::parse(lines.back());
    EXPECT_TRUE(answer.contains("result") || answer["error"]["code"] == "appleEventFailed")
        << request.method << ": " << lines.back();
  }
  Json observation = Json::parse(lines[5])["result"];
  std::string save;
  for (const Json& node : observation["tree"][0]["children"]) {
    if (node.value("title", "") == "Save") {
      save = node["ref"];
    }
  }
  runtime.receive(wire::serialize(Json{{"id", "act"},
                                       {"method", "app.act"},
                                       {"params",
                                        {{"bundleId", bundle},
                                         {"observationId", observation["observationId"]},
                                         {"actions",
                                          {{{"type", "ax"}, {"ref", save}, {"action", "AXPress"}},
                                           {{"type", "click"}, {"x", 5}, {"y", 5}},
                                           {{"type", "key"}, {"key", "tab"}}}}}}}));
  h.drain();
  EXPECT_TRUE(Json::parse(lines.back()).contains("result")) << lines.back();

  std::vector<std::string> expected;
  for (const std::string& logged : h.desktop.log.calls) {
    expected.push_back(callName(logged));
  }
  EXPECT_EQ(tracedCalls(tracePath), expected);
  EXPECT_GT(expected.size(), 40u);
}

}  // namespace
}  // namespace qor::testing
