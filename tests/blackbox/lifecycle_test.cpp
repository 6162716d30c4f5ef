// The process around the protocol: its private directory, the end of input, the exit status and
// the start-up failure.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "blackbox/support/bridge_process.h"
#include "core/json.h"

namespace qor::testing {
namespace {

namespace fs = std::filesystem;

const std::regex kDirectoryName(
    "qor-native-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
    "[0-9A-F]{12}");

std::string captureDirectoryOf(ChildProcess& bridge) {
  bridge.write(R"({"id":"caps","method":"capabilities"})"
               "\n");
  std::optional<std::string> line = bridge.readLine();
  if (!line) {
    return "";
  }
  return Json::parse(*line)["result"]["captureDirectory"].get<std::string>();
}

TEST(Lifecycle, ThePrivateDirectoryLivesFromStartToTheOrderlyExit) {
  ScratchDirectory temporary;
  auto bridge = startBridge(temporary.path());
  fs::path directory = captureDirectoryOf(*bridge);
  ASSERT_EQ(entriesOf(temporary.path()), std::vector<std::string>{directory.filename().string()});
  EXPECT_TRUE(std::regex_match(directory.filename().string(), kDirectoryName)) << directory;
  struct stat info {};
  ASSERT_EQ(stat(directory.c_str(), &info), 0);
  EXPECT_TRUE(S_ISDIR(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0700u);

  std::ofstream(directory / "left-over.png") << "not released";  // removed with the directory
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
  EXPECT_EQ(bridge->errorOutput(), "");
  EXPECT_EQ(bridge->pendingOutput(), "");
}

TEST(Lifecycle, ClosingInputAtOnceEndsTheProcessWithStatusZero) {
  ScratchDirectory temporary;
  auto bridge = startBridge(temporary.path());
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
  EXPECT_EQ(bridge->pendingOutput(), "");
  EXPECT_EQ(bridge->errorOutput(), "");
}

TEST(Lifecycle, EveryLineBeforeTheEndIsAnsweredBeforeTheExit) {
  ScratchDirectory temporary;
  auto bridge = startBridge(temporary.path());
  // One write, so the first four lines are received together before either operation starts;
  // the last line has no newline and arrives with the end of input.
  bridge->write(R"({"id":1,"method":"nope"})"
                "\n"
                "not json\r\n"
                R"({"id":2,"method":"nope"})"
                "\n"
                R"({"id":"all","method":"operations.cancelAll"})"
                "\n"
                R"({"id":"last","method":"operation.cancel","params":{"operationId":"nothing"}})");
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  std::vector<std::string> lines = bridge->readLines(6, std::chrono::milliseconds(0));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], failureLine("invalidRequest", "Invalid JSON request", "null"));
  EXPECT_EQ(lines[1], R"({"id":"all","result":{"cancelRequested":2}})"
                      "\n");
  // The last line may be received before or after the two operations end.
  std::string last = R"({"id":"last","result":{"cancelRequested":false,"operationId":"nothing"}})"
                     "\n";
  std::erase(lines, last);
  EXPECT_EQ(lines.size(), 4u) << "the last line is answered once";
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()),
            (std::vector<std::string>{failureLine("cancelled", "Operation stopped", "1"),
                                      failureLine("cancelled", "Operation stopped", "2")}));
  EXPECT_EQ(bridge->errorOutput(), "");
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
}

TEST(Lifecycle, AnOperationStillQueuedAtTheEndAnswersOnceBeforeTheExit) {
  ScratchDirectory temporary;
  auto bridge = startBridge(temporary.path());
  bridge->write(R"({"id":9,"method":"nope"})");
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  std::vector<std::string> lines = bridge->readLines(2, std::chrono::milliseconds(0));
  ASSERT_EQ(lines.size(), 1u);
  // Whether the end of input overtakes the operation's start is a race the controller accepts.
  EXPECT_TRUE(lines[0] == failureLine("cancelled", "Operation stopped", "9") ||
              lines[0] == failureLine("unsupportedMethod", "Unknown native method: nope", "9"))
      << lines[0];
  EXPECT_EQ(bridge->errorOutput(), "");
}

TEST(Lifecycle, NonBlockingStandardStreamsAreWaitedOnNotTakenForTheEnd) {
  ScratchDirectory temporary;
  auto bridge = startBridge(temporary.path(), /*nonBlockingStreams=*/true);
  std::string directory = captureDirectoryOf(*bridge);  // input was empty for a while: no exit
  EXPECT_FALSE(directory.empty());
  std::string flood;
  for (int i = 0; i < 5000; ++i) {
    flood += R"({"id":)" + std::to_string(i) + R"(,"method":"capabilities"})" + "\n";
  }
  bridge->write(flood);  // far more output than a pipe holds while nobody reads it
  EXPECT_EQ(bridge->readLines(5000).size(), 5000u);
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  EXPECT_EQ(bridge->errorOutput(), "");
}

TEST(Lifecycle, TwoProcessesUseTwoDirectories) {
  ScratchDirectory temporary;
  auto first = startBridge(temporary.path());
  auto second = startBridge(temporary.path());
  std::string firstDirectory = captureDirectoryOf(*first);
  std::string secondDirectory = captureDirectoryOf(*second);
  EXPECT_NE(firstDirectory, secondDirectory);
  EXPECT_EQ(entriesOf(temporary.path()).size(), 2u);

  first->closeInput();
  EXPECT_EQ(first->waitForExit(), 0);
  EXPECT_FALSE(fs::exists(firstDirectory));
  EXPECT_TRUE(fs::exists(secondDirectory)) << "one process never touches another's directory";
  second->closeInput();
  EXPECT_EQ(second->waitForExit(), 0);
  EXPECT_TRUE(entriesOf(temporary.path()).empty());
}

TEST(Lifecycle, TheTemporaryDirectoryIsMadeWhenMissing) {
  ScratchDirectory temporary;
  fs::path missing = temporary.path() / "not" / "yet";
  auto bridge = startBridge(missing);
  fs::path directory = captureDirectoryOf(*bridge);
  EXPECT_EQ(directory.parent_path(), missing);
  bridge->closeInput();
  EXPECT_EQ(bridge->waitForExit(), 0);
  EXPECT_EQ(bridge->errorOutput(), "");
}

TEST(Lifecycle, WithoutAPrivateDirectoryTheProcessStopsBeforeReadingAnything) {
  ScratchDirectory temporary;
  fs::path notADirectory = temporary.path() / "file";
  std::ofstream(notADirectory) << "a regular file";
  auto bridge = startBridge(notADirectory);
  EXPECT_EQ(bridge->waitForExit(), 1);
  EXPECT_EQ(bridge->errorOutput(), "qor-native: cannot create private capture directory\n");
  EXPECT_EQ(bridge->pendingOutput(), "");
}

}  // namespace
}  // namespace qor::testing
