#include "bridge/support/harness.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <stdexcept>

namespace qor::testing {

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qor-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Harness::Harness()
    : runtime(NativeRuntime::Environment{
          desktop, loop, [this](std::string_view line) { lines_.emplace_back(line); },
          [this](int status) { exitStatus = status; }, temporary.path()}) {}

void Harness::sendLine(std::string_view line) {
  runtime.receive(line);
  settle();
}

void Harness::send(const Json& request) {
  sendLine(wire::serialize(request));
}

void Harness::request(const Json& id, const std::string& method, const Json& params) {
  send(Json{{"id", id}, {"method", method}, {"params", params}});
}

void Harness::endOfInput() {
  runtime.endOfInput();
  settle();
}

void Harness::settle() {
  loop.runUntilIdle();
}

void advanceVirtualTime(runtime::VirtualClock& clock, runtime::EventLoop& loop,
                        runtime::Duration by) {
  runtime::MonoTime target = clock.now() + by;
  loop.runUntilIdle();
  while (auto next = loop.nextTimerDeadline()) {
    if (*next > target) {
      break;
    }
    if (*next > clock.now()) {
      clock.advance(*next - clock.now());
    }
    loop.runUntilIdle();
  }
  if (target > clock.now()) {
    clock.advance(target - clock.now());
  }
  loop.runUntilIdle();
}

void Harness::advance(runtime::Duration by) {
  advanceVirtualTime(clock, loop, by);
}

void Harness::drain() {
  settle();
  while (auto next = loop.nextTimerDeadline()) {
    if (*next > clock.now()) {
      clock.advance(*next - clock.now());
    }
    settle();
  }
}

std::vector<Json> Harness::takeResponses() {
  std::vector<Json> parsed;
  for (; taken_ < lines_.size(); ++taken_) {
    const std::string& line = lines_[taken_];
    EXPECT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n') << "every response ends in one newline";
    parsed.push_back(Json::parse(line));
  }
  return parsed;
}

Json Harness::responseFor(const Json& id) {
  std::vector<Json> found;
  for (Json& response : takeResponses()) {
    if (response["id"] == id) {
      found.push_back(std::move(response));
    }
  }
  EXPECT_EQ(found.size(), 1u) << "responses for id " << id.dump();
  return found.empty() ? Json() : found.front();
}

}  // namespace qor::testing
