// "app.openDocuments" on the simulated desktop: the checks before anything is opened (all with one
// message), starting an installed application, "activate", and what the answer repeats.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "bridge/support/harness.h"

namespace qor {
namespace {

constexpr desktop::Pid kPid = 410;
constexpr const char* kViewer = "com.example.viewer";
constexpr const char* kLocation = "/Applications/Viewer.app";
constexpr const char* kCommonMessage =
    "Supply installed bundleId and 1...50 existing absolute document paths";

class OpenDocumentsTest : public ::testing::Test {
 protected:
  OpenDocumentsTest() {
    h.desktop.install(kViewer, "Viewer", kLocation);
    report = (documents.path() / "report.pdf").string();
    notes = (documents.path() / "notes.txt").string();
    std::ofstream(report) << "%PDF";
    std::ofstream(notes) << "notes";
  }

  Json open(const Json& params) {
    h.request(++id, "app.openDocuments", params);
    return h.responseFor(id);
  }

  Json opened(const Json& params) {
    Json response = open(params);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"];
  }

  void expectRefused(const Json& params, const std::string& message = kCommonMessage) {
    Json response = open(params);
    ASSERT_TRUE(response.contains("error")) << response.dump();
    EXPECT_EQ(
        response["error"],
        (Json{{"code", "invalidArgument"}, {"message", message}, {"details", Json::object()}}))
        << params.dump();
    EXPECT_TRUE(h.desktop.log.opens.empty()) << params.dump();
  }

  Json withPaths(const Json& paths) const { return Json{{"bundleId", kViewer}, {"paths", paths}}; }

  testing::Harness h;
  testing::TemporaryDirectory documents;
  std::string report;
  std::string notes;
  int id = 0;
};

TEST_F(OpenDocumentsTest, OpensInTheRunningApplicationAndRepeatsThePathsExactly) {
  h.desktop.addApplication(kPid, kViewer);
  const Json paths = Json::array({report, notes, report});
  EXPECT_EQ(opened(withPaths(paths)),
            (Json{{"bundleId", kViewer}, {"pid", kPid}, {"openedPaths", paths}}));
  ASSERT_EQ(h.desktop.log.opens.size(), 1u);
  EXPECT_EQ(h.desktop.log.opens[0].location, kLocation);
  EXPECT_EQ(h.desktop.log.opens[0].paths, (std::vector<std::string>{report, notes, report}));
  EXPECT_TRUE(h.desktop.log.opens[0].activates);
  EXPECT_EQ(h.desktop.frontmostPid, kPid);
}

TEST_F(OpenDocumentsTest, StartsAnInstalledApplicationThatIsNotRunning) {
  h.desktop.nextPid = 7001;
  Json result = opened(withPaths(Json::array({report})));
  EXPECT_EQ(result["pid"], 7001);
  EXPECT_EQ(h.desktop.application(7001).bundleID, kViewer);
  EXPECT_EQ(h.desktop.application(7001).openedDocuments,
            (std::vector<std::vector<std::string>>{{report}}));
}

TEST_F(OpenDocumentsTest, ActivateFalseOrZeroLeavesTheFrontApplicationInFront) {
  h.desktop.addApplication(kPid, kViewer);
  h.desktop.addApplication(900, "com.example.front");
  h.desktop.frontmostPid = 900;
  Json params = withPaths(Json::array({report}));
  params["activate"] = false;
  opened(params);
  params["activate"] = 0;
  opened(params);
  EXPECT_EQ(h.desktop.frontmostPid, 900);
  params["activate"] = "false";  // not a boolean: the default, true
  opened(params);
  ASSERT_EQ(h.desktop.log.opens.size(), 3u);
  EXPECT_FALSE(h.desktop.log.opens[0].activates);
  EXPECT_FALSE(h.desktop.log.opens[1].activates);
  EXPECT_TRUE(h.desktop.log.opens[2].activates);
  EXPECT_EQ(h.desktop.frontmostPid, kPid);
}

TEST_F(OpenDocumentsTest, AFolderCountsAsAnExistingItem) {
  h.desktop.addApplication(kPid, kViewer);
  const std::string folder = documents.path().string();
  EXPECT_EQ(opened(withPaths(Json::array({folder})))["openedPaths"], Json::array({folder}));
  EXPECT_EQ(h.desktop.log.opens.at(0).paths, std::vector<std::string>{folder});
}

TEST_F(OpenDocumentsTest, RefusesBadPathListsWithTheCommonMessage) {
  Json fifty = Json::array();
  for (int i = 0; i < 50; ++i) {
    fifty.push_back(report);
  }
  Json fiftyOne = fifty;
  fiftyOne.push_back(report);
  expectRefused(withPaths(Json::array()));
  expectRefused(withPaths(fiftyOne));
  expectRefused(withPaths(report));  // a string, not an array
  expectRefused(Json{{"bundleId", kViewer}});
  expectRefused(withPaths(Json::array({report, 5})));
  expectRefused(withPaths(Json::array({"report.pdf"})));
  expectRefused(withPaths(Json::array({"."})));  // exists relative to any working directory
  expectRefused(withPaths(Json::array({"~/report.pdf"})));
  expectRefused(withPaths(Json::array({""})));
  expectRefused(withPaths(Json::array({report, report + ".missing"})));
  // Only the text before a NUL would reach the file system: a different, existing item.
  expectRefused(withPaths(Json::array({report + std::string("\0.exe", 5)})));
  expectRefused(withPaths(Json::array({documents.path().string() + std::string("\0/x", 3)})));

  h.desktop.addApplication(kPid, kViewer);
  EXPECT_EQ(opened(withPaths(fifty))["openedPaths"].size(), 50u);
}

TEST_F(OpenDocumentsTest, NeedsABundleIdThatTheWorkspaceCanLocate) {
  expectRefused(Json{{"paths", Json::array({report})}}, "Missing string: bundleId");
  expectRefused(Json{{"bundleId", ""}, {"paths", Json::array()}}, "Missing string: bundleId");
  // Running is not enough: the workspace must know where the application is installed.
  h.desktop.addApplication(kPid, "com.example.unlisted");
  expectRefused(Json{{"bundleId", "com.example.unlisted"}, {"paths", Json::array({report})}});
}

TEST_F(OpenDocumentsTest, APlatformErrorEndsTheRequestAsOperationFailed) {
  h.desktop.openDocumentsPlan.failure = desktop::PlatformError{"The application could not open"};
  Json response = open(withPaths(Json::array({report})));
  ASSERT_TRUE(response.contains("error")) << response.dump();
  EXPECT_EQ(response["error"]["code"], "operationFailed");
  EXPECT_EQ(response["error"]["message"], "The application could not open");
}

TEST_F(OpenDocumentsTest, CanBeCancelledWhileTheWorkspaceIsOpening) {
  h.desktop.openDocumentsPlan.hold = true;
  h.request("open", "app.openDocuments", withPaths(Json::array({report})));
  EXPECT_TRUE(h.takeResponses().empty());
  h.request("stop", "operation.cancel", {{"operationId", "open"}});
  Json response = h.responseFor("open");
  EXPECT_EQ(response["error"]["code"], "cancelled");
  EXPECT_EQ(response["error"]["message"], "Operation stopped");
  // The workspace completes later; its answer goes nowhere.
  EXPECT_TRUE(h.desktop.release(sim::AsyncCall::openDocuments));
  h.settle();
  EXPECT_TRUE(h.takeResponses().empty());
  EXPECT_TRUE(h.runtime.operations().empty());
}

}  // namespace
}  // namespace qor
