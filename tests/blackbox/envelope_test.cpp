// The wire as a controlling process sees it: exact response bytes for every kind of line.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "blackbox/support/bridge_process.h"
#include "core/json.h"

namespace qor::testing {
namespace {

constexpr std::size_t kMaxLine = 2'097'152;
const std::string kUnknown = "Unknown native method: nope";

class Envelope : public ::testing::Test {
 protected:
  ScratchDirectory temporary;
  std::unique_ptr<ChildProcess> bridge = startBridge(temporary.path());

  void TearDown() override {
    bridge->closeInput();
    EXPECT_EQ(bridge->waitForExit(), 0);
    EXPECT_EQ(bridge->errorOutput(), "") << "nothing but a start-up failure goes to stderr";
    EXPECT_EQ(bridge->pendingOutput(), "") << "no response beyond those the test expected";
  }

  // Writes one line and returns the one response it causes.
  std::string ask(std::string_view line) {
    bridge->write(std::string(line) + "\n");
    return bridge->readLine().value_or("<no response>");
  }
  std::vector<std::string> exchange(std::string_view bytes, std::size_t responses) {
    bridge->write(bytes);
    return bridge->readLines(responses);
  }
};

std::string unsupported(std::string_view id) {
  return failureLine("unsupportedMethod", kUnknown, id);
}
std::string invalidJson() {
  return failureLine("invalidRequest", "Invalid JSON request", "null");
}
std::string notAnObject() {
  return failureLine("invalidRequest", "Expected a JSON object, maximum 2 MiB", "null");
}
std::string badId(std::string_view id) {
  return failureLine("invalidRequest", "id must be a string or number", id);
}

// A request for the unknown method "nope", padded to exactly `size` bytes.
std::string paddedRequest(std::string_view id, std::size_t size) {
  std::string head = R"({"id":)" + std::string(id) + R"(,"method":"nope","params":{"pad":")";
  std::string tail = R"("}})";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST_F(Envelope, CapabilitiesAreWrittenCompactWithSortedKeysAndEscapedSlashes) {
  std::string line = ask(R"({"id":1,"method":"capabilities","params":[1,2]})");
  Json parsed = Json::parse(line);
  const Json& result = parsed["result"];
  std::string directory = result["captureDirectory"].get<std::string>();
  std::string escaped;
  for (char c : directory) {
    escaped += c == '/' ? std::string("\\/") : std::string(1, c);
  }
  std::string expected =
      R"({"id":1,"result":{"architecture":")" + result["architecture"].get<std::string>() +
      R"(","captureDirectory":")" + escaped +
      R"(","methods":["permissions.status","permissions.request","apps.list","apps.launch",)"
      R"("apps.focus","app.observe","app.act","app.appleEvent","app.openDocuments",)"
      R"("window.capture","capture.release","operation.cancel","operations.cancelAll"],)"
      R"("minimumOS":")" +
      result["minimumOS"].get<std::string>() + R"(","platform":")" +
      result["platform"].get<std::string>() + R"(","protocol":1}})" + "\n";
  EXPECT_EQ(line, expected);
  EXPECT_EQ(result.size(), 6u);
  EXPECT_EQ(directory.rfind(temporary.path().string() + "/qor-native-", 0), 0u) << directory;
}

TEST_F(Envelope, TheIdIsEchoedWithItsOwnType) {
  EXPECT_EQ(ask(R"({"id":"abc","method":"nope"})"), unsupported(R"("abc")"));
  EXPECT_EQ(ask(R"({"id":"","method":"nope"})"), unsupported(R"("")"));
  EXPECT_EQ(ask(R"({"id":7,"method":"nope"})"), unsupported("7"));
  EXPECT_EQ(ask(R"({"id":-3,"method":"nope"})"), unsupported("-3"));
  EXPECT_EQ(ask(R"({"id":2.5,"method":"nope"})"), unsupported("2.5"));
  EXPECT_EQ(ask(R"({"id":18446744073709551615,"method":"nope"})"),
            unsupported("18446744073709551615"));
  EXPECT_EQ(ask(R"({"id":-9223372036854775808,"method":"nope"})"),
            unsupported("-9223372036854775808"));
  EXPECT_EQ(ask(R"({"id":true,"method":"nope"})"), unsupported("true"));
  EXPECT_EQ(ask(R"({"id":false,"method":"nope"})"), unsupported("false"));
  // Too large for any integer type: read as the nearest double, echoed in shortest form.
  EXPECT_EQ(ask(R"({"id":1234567890123456789012345678901234567890,"method":"nope"})"),
            unsupported("1.2345678901234568e+39"));
}

TEST_F(Envelope, AnUnusableIdIsRefusedAndEchoedAsGiven) {
  EXPECT_EQ(ask(R"({"method":"nope"})"), badId("null"));
  EXPECT_EQ(ask(R"({"id":null,"method":"nope"})"), badId("null"));
  EXPECT_EQ(ask(R"({"id":[1,[2,{"b":1,"a":"/"}]],"method":"nope"})"),
            badId(R"([1,[2,{"a":"\/","b":1}]])"));
  EXPECT_EQ(ask(R"({"id":{"z":[],"a":{}},"method":"nope"})"), badId(R"({"a":{},"z":[]})"));
}

TEST_F(Envelope, LinesThatAreNotRequestObjectsAnswerWithIdNull) {
  EXPECT_EQ(ask(""), invalidJson());
  EXPECT_EQ(ask("   "), invalidJson());
  EXPECT_EQ(ask("5"), invalidJson());
  EXPECT_EQ(ask("null"), invalidJson());
  EXPECT_EQ(ask(R"("text")"), invalidJson());
  EXPECT_EQ(ask(R"({"id":1,"method":"nope")"), invalidJson());
  EXPECT_EQ(ask(R"({"id":1,"method":"nope"} {})"), invalidJson());
  EXPECT_EQ(ask(R"({"id":1e400,"method":"nope"})"), invalidJson()) << "no double holds 1e400";
  EXPECT_EQ(ask("[]"), notAnObject());
  EXPECT_EQ(ask(R"([{"id":1,"method":"nope"}])"), notAnObject());
}

TEST_F(Envelope, AMissingOrEmptyMethodIsRefusedWithTheId) {
  std::string missing = failureLine("invalidArgument", "Missing string: method", "3");
  EXPECT_EQ(ask(R"({"id":3})"), missing);
  EXPECT_EQ(ask(R"({"id":3,"method":""})"), missing);
  EXPECT_EQ(ask(R"({"id":3,"method":5})"), missing);
}

TEST_F(Envelope, TextIsWrittenAsUtf8WithSlashesEscapedAndBrokenBytesRepaired) {
  EXPECT_EQ(ask(R"({"id":"a/b","method":"x/y"})"),
            failureLine("unsupportedMethod", R"(Unknown native method: x\/y)", R"("a\/b")"));
  EXPECT_EQ(ask(R"({"id":"\u00e9\u2603","method":"nope"})"), unsupported("\"\u00e9\u2603\""));
  EXPECT_EQ(ask(R"({"id":"tab\t\"q\" \\ \u0001","method":"nope"})"),
            unsupported(R"("tab\t\"q\" \\ \u0001")"));
  EXPECT_EQ(ask("{\"id\":\"\xff\xfe\",\"method\":\"nope\"}"),
            unsupported("\"\xEF\xBF\xBD\xEF\xBF\xBD\""));
}

TEST_F(Envelope, BinaryJunkAndNulBytesGetOneAnswerPerLine) {
  std::string junk;
  unsigned state = 12345;
  for (int i = 0; i < 5000; ++i) {
    state = state * 1103515245 + 12345;
    char byte = static_cast<char>(state >> 16);
    junk.push_back(byte == '\n' ? '\0' : byte);
  }
  std::string nul("\0", 1);
  std::string lines = junk + "\n" + nul + "\n" + R"({"id":1,"method":"nope"})" + nul + "\n" +
                      "{\"id\":\"a" + nul + "b\",\"method\":\"nope\"}\n";
  std::vector<std::string> responses = exchange(lines, 4);
  EXPECT_EQ(responses, std::vector<std::string>(4, invalidJson()));
  EXPECT_EQ(ask(R"({"id":"still serving","method":"nope"})"), unsupported(R"("still serving")"));
}

TEST_F(Envelope, TheSizeLimitCountsBytesWithoutTheLineEnd) {
  std::string exact = paddedRequest(R"("exact")", kMaxLine);
  ASSERT_EQ(exact.size(), kMaxLine);
  EXPECT_EQ(ask(exact), unsupported(R"("exact")"));
  EXPECT_EQ(ask(paddedRequest(R"("over")", kMaxLine + 1)), notAnObject());
  // The carriage return of a CRLF ending is not part of the line.
  EXPECT_EQ(exchange(paddedRequest(R"("crlf")", kMaxLine) + "\r\n", 1).front(),
            unsupported(R"("crlf")"));
  EXPECT_EQ(ask(paddedRequest(R"("huge")", 3 * kMaxLine)), notAnObject());
  EXPECT_EQ(ask(R"({"id":"after","method":"nope"})"), unsupported(R"("after")"));
}

TEST_F(Envelope, AnEmptyLineEndingInCrlfIsStillAnEmptyLine) {
  EXPECT_EQ(exchange("\r\n", 1).front(), invalidJson());
  EXPECT_EQ(exchange("{\"id\":\"cr\",\"method\":\"nope\"}\r\n", 1).front(), unsupported(R"("cr")"));
}

TEST_F(Envelope, DeepNestingIsAnsweredOnceAndTheBridgeGoesOn) {
  std::string deep = nested(100'000);
  EXPECT_EQ(ask(R"({"id":)" + deep + R"(,"method":"nope"})"), badId(deep));
  EXPECT_EQ(ask(R"({"id":"params","method":"nope","params":{"x":)" + deep + "}}"),
            unsupported(R"("params")"));
  EXPECT_EQ(ask(R"({"id":"ignored","method":"nope","other":)" + deep + "}"),
            unsupported(R"("ignored")"));
  std::string objects;
  for (int i = 0; i < 50'000; ++i) {
    objects += R"({"a":)";
  }
  objects += "1" + std::string(50'000, '}');
  EXPECT_EQ(ask(R"({"id":)" + objects + R"(,"method":"nope"})"), badId(objects));
  EXPECT_EQ(ask(R"({"id":"after","method":"nope"})"), unsupported(R"("after")"));
}

TEST_F(Envelope, AFloodOfRequestsIsAnsweredOnceEach) {
  constexpr int kRequests = 20'000;
  std::string flood;
  for (int i = 0; i < kRequests; ++i) {
    // Even ids run as operations, odd ones are refused at once by the envelope.
    flood += i % 2 == 0 ? R"({"id":)" + std::to_string(i) + R"(,"method":"nope"})" + "\n"
                        : R"({"id":)" + std::to_string(i) + "}\n";
  }
  std::vector<std::string> responses = exchange(flood, kRequests);
  ASSERT_EQ(responses.size(), static_cast<std::size_t>(kRequests));
  std::set<int> answered;
  for (const std::string& line : responses) {
    Json response = Json::parse(line);
    int id = response["id"].get<int>();
    EXPECT_TRUE(answered.insert(id).second) << "answered twice: " << id;
    EXPECT_EQ(response["error"]["code"], id % 2 == 0 ? "unsupportedMethod" : "invalidArgument");
  }
  EXPECT_EQ(answered.size(), static_cast<std::size_t>(kRequests));
}

// Lines that arrive in one read are received before the operations they register start.
TEST_F(Envelope, ControlMethodsAnswerAtOnceAndOperationsAnswerWhenTheyEnd) {
  EXPECT_EQ(
      exchange(R"({"id":"a","method":"nope"})"
               "\n"
               R"({"id":"c","method":"operation.cancel","params":{"operationId":"a"}})"
               "\n",
               2),
      (std::vector<std::string>{R"({"id":"c","result":{"cancelRequested":true,"operationId":"a"}})"
                                "\n",
                                failureLine("cancelled", "Operation stopped", R"("a")")}));

  EXPECT_EQ(
      exchange(R"({"id":5,"method":"nope"})"
               "\n"
               R"({"id":5,"method":"operation.cancel","params":{"operationId":"5"}})"
               "\n",
               2),
      (std::vector<std::string>{R"({"id":5,"result":{"cancelRequested":true,"operationId":"5"}})"
                                "\n",
                                failureLine("cancelled", "Operation stopped", "5")}));

  EXPECT_EQ(exchange(R"({"id":7,"method":"nope"})"
                     "\n"
                     R"({"id":7,"method":"nope"})"
                     "\n",
                     2),
            (std::vector<std::string>{
                failureLine("operationInProgress", "Operation ID is already active", "7"),
                unsupported("7")}));

  EXPECT_EQ(exchange(R"({"id":"q1","method":"nope"})"
                     "\n"
                     R"({"id":"q2","method":"nope","params":{"operationId":"job"}})"
                     "\n"
                     R"({"id":"all","method":"operations.cancelAll"})"
                     "\n",
                     3),
            (std::vector<std::string>{R"({"id":"all","result":{"cancelRequested":2}})"
                                      "\n",
                                      failureLine("cancelled", "Operation stopped", R"("q1")"),
                                      failureLine("cancelled", "Operation stopped", R"("q2")")}));
}

TEST_F(Envelope, CancelRefusalsAndUnknownTargets) {
  EXPECT_EQ(ask(R"({"id":1,"method":"operation.cancel"})"),
            failureLine("invalidArgument", "Missing string: operationId", "1"));
  EXPECT_EQ(ask(R"({"id":1,"method":"operation.cancel","params":{"operationId":""}})"),
            failureLine("invalidArgument", "Missing string: operationId", "1"));
  EXPECT_EQ(ask(R"({"id":1,"method":"operation.cancel","params":{"operationId":"gone"}})"),
            R"({"id":1,"result":{"cancelRequested":false,"operationId":"gone"}})"
            "\n");
  EXPECT_EQ(ask(R"({"id":2,"method":"operations.cancelAll","params":"ignored"})"),
            R"({"id":2,"result":{"cancelRequested":0}})"
            "\n");
}

TEST_F(Envelope, CaptureReleaseRefusesPathsItDidNotCreate) {
  EXPECT_EQ(ask(R"({"id":1,"method":"capture.release","params":{"path":"/etc/hostname"}})"),
            failureLine("invalidArgument", "Path is not a capture created by this process", "1"));
  EXPECT_EQ(ask(R"({"id":2,"method":"capture.release"})"),
            failureLine("invalidArgument", "Missing string: path", "2"));
}

}  // namespace
}  // namespace qor::testing
