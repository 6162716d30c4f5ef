#include "mcp/support/mcp_harness.h"

#include <gtest/gtest.h>

namespace qor::testing {

InProcessBridge::InProcessBridge(runtime::EventLoop& loop, sim::SimDesktop& desktop,
                                 std::filesystem::path temporary)
    : loop_(loop), desktop_(desktop), temporary_(std::move(temporary)) {}

std::string InProcessBridge::send(std::string_view line) {
  if (!runtime_) {
    ++starts;
    const int generation = generation_;
    runtime_ = std::make_unique<NativeRuntime>(
        NativeRuntime::Environment{desktop_, loop_,
                                   [this, generation](std::string_view response) {
                                     if (generation == generation_ && listener_.line) {
                                       response.remove_suffix(1);  // the newline
                                       listener_.line(response);
                                     }
                                   },
                                   [](int) {}, temporary_});
  }
  if (std::optional<Json> parsed = wire::parse(line)) {
    requests.push_back(*parsed);
  }
  runtime_->receive(line);
  return "";
}

InProcessBridge::~InProcessBridge() {
  if (runtime_) {
    stop();
  }
}

// As the end of input does: every operation is cancelled and runs to its end, silently.
void InProcessBridge::stop() {
  ++generation_;
  runtime_->endOfInput();
  loop_.runUntilIdle();
  ended_.push_back(std::move(runtime_));
}

void InProcessBridge::end(const std::string& why) {
  stop();
  listener_.ended(why);
}

McpHarness::McpHarness() = default;

void McpHarness::sendLine(std::string_view line) {
  server.receive(line);
  settle();
}

void McpHarness::send(const Json& message) {
  sendLine(wire::serialize(message));
}

Json McpHarness::request(const std::string& method, const Json& params) {
  const Json id = nextId_++;
  send(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", params}});
  std::vector<Json> answers = answersTo(id);
  EXPECT_EQ(answers.size(), 1u) << method;
  return answers.empty() ? Json() : answers.front();
}

Json McpHarness::initialize(const std::string& revision) {
  Json response = request("initialize", {{"protocolVersion", revision},
                                         {"capabilities", Json::object()},
                                         {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
  send(Json{{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
  return response;
}

Json McpHarness::startTool(const std::string& name, const Json& arguments, const Json& meta) {
  const Json id = nextId_++;
  Json params{{"name", name}, {"arguments", arguments}};
  if (!meta.is_null()) {
    params["_meta"] = meta;
  }
  send(Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", params}});
  return id;
}

Json McpHarness::callTool(const std::string& name, const Json& arguments, const Json& meta) {
  const Json id = startTool(name, arguments, meta);
  // Batches pause between actions: let the virtual time run until the answer is there.
  for (int round = 0; round < 1000; ++round) {
    for (const std::string& line : written_) {
      Json message = Json::parse(line);
      if (message.value("id", Json()) == id) {
        std::vector<Json> answers = answersTo(id);
        return answers.front();
      }
    }
    advance(std::chrono::milliseconds(50));
  }
  ADD_FAILURE() << "no answer to " << name;
  return Json();
}

void McpHarness::advance(runtime::Duration by) {
  advanceVirtualTime(clock, loop, by);
}

std::vector<Json> McpHarness::take() {
  std::vector<Json> messages;
  for (const std::string& line : written_) {
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one message per line";
    messages.push_back(Json::parse(line));
  }
  written_.clear();
  return messages;
}

std::vector<Json> McpHarness::answersTo(const Json& id) {
  std::vector<Json> answers;
  for (Json& message : take()) {
    if (message.contains("id") && message["id"] == id) {
      answers.push_back(std::move(message));
    }
  }
  return answers;
}

std::string firstText(const Json& result) {
  for (const Json& content : result.value("content", Json::array())) {
    if (content.value("type", "") == "text") {
      return content.value("text", "");
    }
  }
  return "";
}

}  // namespace qor::testing
