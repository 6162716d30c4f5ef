// The spine of the bridge in process: operation ids and the registry, cancellation, the end of
// input, "capabilities", the private directory and "capture.release".

#include "bridge/native_runtime.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "bridge/support/harness.h"

namespace qor::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::string line(const Json& request) {
  return wire::serialize(request);
}

Json req(const Json& id, const std::string& method, const Json& params = Json::object()) {
  return Json{{"id", id}, {"method", method}, {"params", params}};
}

Json failure(const std::string& code, const std::string& message, const Json& id) {
  return Json{{"error", {{"code", code}, {"details", Json::object()}, {"message", message}}},
              {"id", id}};
}

Json unsupported(const Json& id) {
  return failure("unsupportedMethod", "Unknown native method: nope", id);
}
Json cancelled(const Json& id) {
  return failure("cancelled", "Operation stopped", id);
}
Json success(const Json& id, const Json& result) {
  return Json{{"id", id}, {"result", result}};
}
Json cancelAnswer(const Json& id, bool requested, const std::string& target) {
  return success(id, Json{{"cancelRequested", requested}, {"operationId", target}});
}

class Spine : public ::testing::Test {
 protected:
  Harness h;

  // Hands a line over without running anything else, as when several lines arrive together.
  void receive(const Json& request) { h.runtime.receive(line(request)); }

  // Whether exactly `ids` are registered.
  bool registeredAre(const std::vector<std::string>& ids) {
    const OperationRegistry& registry = h.runtime.operations();
    return registry.size() == ids.size() &&
           std::all_of(ids.begin(), ids.end(),
                       [&](const auto& id) { return registry.contains(id); });
  }

  // Stores an empty observation named `id` that expires in two minutes.
  void storeObservation(const std::string& id) {
    Observation observation;
    observation.id = id;
    observation.expires = h.clock.wallNow() + std::chrono::minutes(2);
    h.runtime.observations().add(std::move(observation));
  }
};

TEST_F(Spine, OperationIdsComeFromOperationIdOrTheRequestIdAsText) {
  receive(req(1, "nope", {{"operationId", "job"}}));
  receive(req(2, "nope", {{"operationId", ""}}));
  receive(req(42, "nope"));
  receive(req(2.5, "nope"));
  receive(req(true, "nope"));
  receive(req(false, "nope"));
  receive(req("text", "nope", {{"operationId", 5}}));  // not a string: the request id counts
  EXPECT_TRUE(registeredAre({"", "0", "1", "2.5", "42", "job", "text"}));
  EXPECT_TRUE(h.takeResponses().empty()) << "operations answer when they run";

  h.settle();
  EXPECT_TRUE(h.runtime.operations().empty());
  EXPECT_EQ(h.takeResponses(),
            (std::vector<Json>{unsupported(1), unsupported(2), unsupported(42), unsupported(2.5),
                               unsupported(true), unsupported(false), unsupported("text")}));
}

TEST_F(Spine, ASecondRequestUnderARegisteredIdIsRefusedAndTheFirstGoesOn) {
  receive(req(7, "nope"));
  receive(req(7, "nope"));
  receive(req(8, "nope", {{"operationId", "7"}}));
  EXPECT_EQ(
      h.takeResponses(),
      (std::vector<Json>{failure("operationInProgress", "Operation ID is already active", 7),
                         failure("operationInProgress", "Operation ID is already active", 8)}));
  h.settle();
  EXPECT_EQ(h.takeResponses(), std::vector<Json>{unsupported(7)});

  h.request(7, "nope");  // free again once the first has answered
  EXPECT_EQ(h.takeResponses(), std::vector<Json>{unsupported(7)});
}

TEST_F(Spine, ACancelBeforeTheStartAnswersCancelledWithoutRunningTheHandler) {
  fs::path capture = h.runtime.captures().directory() / "queued.png";
  std::ofstream(capture) << "png";
  h.runtime.captures().own(capture.string());

  receive(req(1, "capture.release", {{"path", capture.string()}}));
  receive(req(2, "operation.cancel", {{"operationId", "1"}}));
  EXPECT_EQ(h.takeResponses(), std::vector<Json>{cancelAnswer(2, true, "1")})
      << "the cancel is answered at once";
  h.settle();
  EXPECT_EQ(h.takeResponses(), std::vector<Json>{cancelled(1)});
  EXPECT_TRUE(fs::exists(capture)) << "the handler never ran";
  EXPECT_TRUE(h.runtime.captures().owns(capture.string()));
}

TEST_F(Spine, ACancelWithTheOperationsOwnRequestIdIsAnsweredFirst) {
  receive(req(5, "nope"));
  receive(req(5, "operation.cancel", {{"operationId", "5"}}));
  h.settle();
  EXPECT_EQ(h.takeResponses(), (std::vector<Json>{cancelAnswer(5, true, "5"), cancelled(5)}));
}

TEST_F(Spine, CancelOfAnUnknownIdChangesNothingAndNeedsAnOperationId) {
  receive(req(1, "nope"));
  h.request(2, "operation.cancel", {{"operationId", "other"}});
  h.request(3, "operation.cancel");
  h.request(4, "operation.cancel", {{"operationId", ""}});
  h.request(5, "operation.cancel", {{"operationId", 1}});
  EXPECT_EQ(h.takeResponses(),
            (std::vector<Json>{cancelAnswer(2, false, "other"), unsupported(1),
                               failure("invalidArgument", "Missing string: operationId", 3),
                               failure("invalidArgument", "Missing string: operationId", 4),
                               failure("invalidArgument", "Missing string: operationId", 5)}));
}

TEST_F(Spine, CancelAllCountsMarksEveryOperationAndForgetsEveryObservation) {
  storeObservation("A");
  storeObservation("B");
  ASSERT_EQ(h.runtime.observations().size(), 2u);
  h.runtime.captures().own("/kept/by/cancelAll.png");
  receive(req(1, "nope"));
  receive(req(2, "nope", {{"operationId", "job"}}));
  receive(req(3, "operations.cancelAll", {{"ignored", true}}));
  EXPECT_TRUE(h.runtime.observations().empty());
  EXPECT_EQ(h.runtime.captures().size(), 1u);
  h.settle();
  EXPECT_EQ(h.takeResponses(), (std::vector<Json>{success(3, Json{{"cancelRequested", 2}}),
                                                  cancelled(1), cancelled(2)}));

  storeObservation("C");
  h.request(4, "operations.cancelAll");
  EXPECT_EQ(h.takeResponses(), std::vector<Json>{success(4, Json{{"cancelRequested", 0}})});
  EXPECT_TRUE(h.runtime.observations().empty()) << "emptied even when nothing runs";
}

TEST_F(Spine, AnUnknownMethodAnswersThroughItsOperationAfterResponsesAlreadyDue) {
  receive(req(1, "Capabilities"));  // names match exactly
  h.runtime.receive("not json");
  receive(req(2, "operation.cancel", {{"operationId", "nothing"}}));
  h.settle();
  EXPECT_EQ(
      h.takeResponses(),
      (std::vector<Json>{failure("invalidRequest", "Invalid JSON request", nullptr),
                         cancelAnswer(2, false, "nothing"),
                         failure("unsupportedMethod", "Unknown native method: Capabilities", 1)}));
}

TEST_F(Spine, TheEndOfInputAnswersEveryRegisteredOperationBeforeTheExit) {
  h.request("done", "nope");  // finished before the end: no exit yet
  EXPECT_FALSE(h.exitStatus.has_value());
  receive(req(1, "nope"));
  receive(req(2, "capabilities"));
  h.runtime.endOfInput();
  EXPECT_TRUE(h.runtime.inputEnded());
  EXPECT_FALSE(h.exitStatus.has_value());
  h.settle();
  EXPECT_EQ(h.takeResponses(),
            (std::vector<Json>{unsupported("done"), cancelled(1), cancelled(2)}));
  EXPECT_EQ(h.exitStatus, 0);
  EXPECT_FALSE(fs::exists(h.runtime.captures().directory()));
}

TEST_F(Spine, TheEndOfInputWithNothingRegisteredExitsAtOnceAndRemovesTheDirectory) {
  std::ofstream(h.runtime.captures().directory() / "unreleased.png") << "png";
  h.runtime.endOfInput();  // nothing else runs
  EXPECT_EQ(h.exitStatus, 0);
  EXPECT_FALSE(fs::exists(h.runtime.captures().directory()));
  EXPECT_TRUE(h.takeResponses().empty());
}

TEST_F(Spine, CapabilitiesAnnounceSixKeysAndThirteenMethods) {
  h.request("caps", "capabilities", {{"ignored", 1}});
  std::vector<Json> responses = h.takeResponses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0],
            success("caps", Json{{"protocol", 1},
                                 {"platform", "macOS"},
                                 {"architecture", "arm64"},
                                 {"minimumOS", "15.0"},
                                 {"methods",
                                  {"permissions.status", "permissions.request", "apps.list",
                                   "apps.launch", "apps.focus", "app.observe", "app.act",
                                   "app.appleEvent", "app.openDocuments", "window.capture",
                                   "capture.release", "operation.cancel", "operations.cancelAll"}},
                                 {"captureDirectory", h.runtime.captures().directory().string()}}));
  EXPECT_TRUE(responses[0]["result"]["protocol"].is_number_integer());
}

TEST_F(Spine, ThePrivateDirectoryIsNewAndOwnerOnly) {
  fs::path directory = h.runtime.captures().directory();
  EXPECT_EQ(directory.parent_path(), h.temporary.path());
  EXPECT_TRUE(std::regex_match(directory.filename().string(),
                               std::regex("qor-native-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}")));
  struct stat info {};
  ASSERT_EQ(stat(directory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  fs::path notADirectory = h.temporary.path() / "file";
  std::ofstream(notADirectory) << "x";
  EXPECT_THROW(createCaptureDirectory(notADirectory), std::runtime_error);
  EXPECT_NE(createCaptureDirectory(h.temporary.path()), directory) << "a new name every time";
}

TEST_F(Spine, CaptureReleaseDeletesOnlyRegisteredFilesNamedExactly) {
  fs::path registered = h.runtime.captures().directory() / "A.png";
  fs::path stranger = h.runtime.captures().directory() / "B.png";
  std::ofstream(registered) << "png";
  std::ofstream(stranger) << "png";
  h.runtime.captures().own(registered.string());
  const std::string refused = "Path is not a capture created by this process";

  h.request(1, "capture.release");
  h.request(2, "capture.release", {{"path", ""}});
  h.request(3, "capture.release", {{"path", stranger.string()}});
  h.request(4, "capture.release",
            {{"path", (h.runtime.captures().directory() / "." / "A.png").string()}});
  h.request(5, "capture.release", {{"path", registered.string() + "/"}});
  EXPECT_EQ(h.takeResponses(), (std::vector<Json>{
                                   failure("invalidArgument", "Missing string: path", 1),
                                   failure("invalidArgument", "Missing string: path", 2),
                                   failure("invalidArgument", refused, 3),
                                   failure("invalidArgument", refused, 4),
                                   failure("invalidArgument", refused, 5),
                               }));
  EXPECT_TRUE(fs::exists(stranger));
  EXPECT_TRUE(fs::exists(registered));

  h.request(6, "capture.release", {{"path", registered.string()}});
  h.request(7, "capture.release", {{"path", registered.string()}});
  EXPECT_EQ(h.takeResponses(), (std::vector<Json>{success(6, Json{{"released", true}}),
                                                  failure("invalidArgument", refused, 7)}));
  EXPECT_FALSE(fs::exists(registered));
  EXPECT_TRUE(h.runtime.captures().empty());
}

TEST_F(Spine, AFailedDeletionIsReportedAndTheCaptureStaysRegistered) {
  std::string vanished = (h.runtime.captures().directory() / "gone.png").string();
  h.runtime.captures().own(vanished);
  h.request(1, "capture.release", {{"path", vanished}});
  std::vector<Json> responses = h.takeResponses();
  ASSERT_EQ(responses.size(), 1u);
  EXPECT_EQ(responses[0]["error"]["code"], "operationFailed");
  EXPECT_EQ(responses[0]["error"]["details"], Json::object());
  EXPECT_TRUE(h.runtime.captures().owns(vanished)) << "the release can be retried";
}

TEST_F(Spine, AnIdNestedDeepIsAnsweredOnceWithoutRecursion) {
  constexpr std::size_t kDepth = 100'000;
  std::string deep = std::string(kDepth, '[') + std::string(kDepth, ']');
  h.sendLine(R"({"id":)" + deep + R"(,"method":"nope"})");
  ASSERT_EQ(h.rawLines().size(), 1u);
  EXPECT_EQ(
      h.rawLines()[0],
      R"({"error":{"code":"invalidRequest","details":{},"message":"id must be a string or number"},"id":)" +
          deep + "}\n");
  h.sendLine(R"({"id":"params","method":"nope","params":{"x":)" + deep + "}}");
  ASSERT_EQ(h.rawLines().size(), 2u);
  EXPECT_EQ(h.rawLines()[1], wire::serialize(unsupported("params")) + "\n");
}

TEST_F(Spine, AResultOfNothingIsWrittenAsAnEmptyObject) {
  h.runtime.respond("x", Json());
  EXPECT_EQ(h.rawLines().back(), "{\"id\":\"x\",\"result\":{}}\n");
}

}  // namespace
}  // namespace qor::testing
