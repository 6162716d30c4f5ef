// The target rule, "apps.launch" and "apps.focus" on the simulated desktop.
#include <gtest/gtest.h>

#include <chrono>

#include "bridge/support/harness.h"
#include "bridge/support/sim_fixtures.h"

namespace qor::testing {
namespace {

using namespace std::chrono_literals;
using Editor = EditorFixture;

Json failure(const std::string& code, const std::string& message,
             const Json& details = Json::object()) {
  return Json{{"code", code}, {"message", message}, {"details", details}};
}

class ApplicationsTest : public ::testing::Test {
 protected:
  Harness h;
};

TEST_F(ApplicationsTest, TargetIsTheFirstInstanceThatHasNotTerminated) {
  h.desktop.addApplication(10, "com.example.twin");
  h.desktop.addApplication(11, "com.example.twin");
  h.desktop.addApplication(12, "com.example.Twin");  // another identifier: case counts
  Json params{{"bundleId", "com.example.twin"}, {"pid", 11}};

  EXPECT_EQ(h.runtime.targetApp(params).pid, 10);
  h.desktop.application(10).terminated = true;
  EXPECT_EQ(h.runtime.targetApp(params).pid, 11);
  h.desktop.application(11).terminated = true;
  try {
    h.runtime.targetApp(params);
    ADD_FAILURE() << "no instance is left";
  } catch (const NativeFailure& raised) {
    EXPECT_EQ(raised.json(),
              failure("applicationNotRunning", "The selected application is not running",
                      {{"bundleId", "com.example.twin"}}));
  }
}

TEST_F(ApplicationsTest, EveryMethodNeedsABundleIdBeforeAskingTheDesktop) {
  addEditor(h.desktop);
  int id = 0;
  for (const char* method : {"apps.launch", "apps.focus"}) {
    for (const Json& params : {Json::object(), Json{{"bundleId", ""}}, Json{{"bundleId", 7}},
                               Json{{"bundleId", nullptr}}}) {
      h.desktop.log = {};
      h.request(++id, method, params);
      h.drain();
      EXPECT_EQ(h.responseFor(id)["error"], failure("invalidArgument", "Missing string: bundleId"))
          << method << " " << params.dump();
      EXPECT_TRUE(h.desktop.log.calls.empty()) << method << " " << params.dump();
    }
  }
}

// ---- apps.launch
// ---------------------------------------------------------------------------------

TEST_F(ApplicationsTest, LaunchStartsAnInstalledApplicationAndBringsItForward) {
  h.desktop.install("com.example.viewer", "Viewer", "/Applications/Viewer.app");
  h.request(1, "apps.launch", {{"bundleId", "com.example.viewer"}});

  Json response = h.responseFor(1);
  desktop::Pid pid = h.desktop.nextPid - 1;
  EXPECT_EQ(response["result"],
            (Json{{"bundleId", "com.example.viewer"}, {"pid", pid}, {"running", true}}));
  ASSERT_EQ(h.desktop.log.opens.size(), 1u);
  EXPECT_EQ(h.desktop.log.opens[0].location, "/Applications/Viewer.app");
  EXPECT_TRUE(h.desktop.log.opens[0].activates);
  EXPECT_EQ(h.desktop.frontmostPid, pid);
}

TEST_F(ApplicationsTest, LaunchActivatesUnlessActivateReadsAsFalse) {
  h.desktop.install("com.example.viewer", "Viewer", "/Applications/Viewer.app");
  struct Case {
    Json activate;
    bool activates;
  };
  const Case cases[] = {{false, false},  {0, false}, {true, true},    {1, true},
                        {"false", true}, {2, true},  {nullptr, true}, {Json::array(), true}};
  int id = 0;
  for (const Case& c : cases) {
    h.request(++id, "apps.launch", {{"bundleId", "com.example.viewer"}, {"activate", c.activate}});
    EXPECT_TRUE(h.responseFor(id).contains("result"));
    EXPECT_EQ(h.desktop.log.opens.back().activates, c.activates) << c.activate.dump();
  }
}

TEST_F(ApplicationsTest, LaunchOfARunningApplicationAnswersWithThatInstance) {
  addEditor(h.desktop);
  h.desktop.frontmostPid.reset();
  h.request(1, "apps.launch", {{"bundleId", Editor::kBundle}, {"activate", false}});

  EXPECT_EQ(h.responseFor(1)["result"],
            (Json{{"bundleId", Editor::kBundle}, {"pid", Editor::kPid}, {"running", true}}));
  EXPECT_EQ(h.desktop.applications.size(), 1u);
  EXPECT_FALSE(h.desktop.frontmostPid) << "activate false leaves the front alone";
}

TEST_F(ApplicationsTest, LaunchReportsAnApplicationThatQuitAtOnceAsNotRunning) {
  h.desktop.install("com.example.brief", "Brief", "/Applications/Brief.app");
  h.desktop.launchHooks["com.example.brief"] = [](sim::SimApplication& app) {
    app.terminated = true;
  };
  h.request(1, "apps.launch", {{"bundleId", "com.example.brief"}});
  EXPECT_EQ(h.responseFor(1)["result"]["running"], false);
}

TEST_F(ApplicationsTest, LaunchRefusesWhatIsNotInstalledBeforeOpeningAnything) {
  h.desktop.addApplication(10, "com.example.unbundled");  // running, but no bundle location
  h.request(1, "apps.launch", {{"bundleId", "com.example.unbundled"}});

  EXPECT_EQ(h.responseFor(1)["error"],
            failure("applicationNotInstalled", "Selected application is not installed",
                    {{"bundleId", "com.example.unbundled"}}));
  EXPECT_TRUE(h.desktop.log.opens.empty());
}

TEST_F(ApplicationsTest, LaunchRefusesAnOpenedApplicationOfAnotherIdentity) {
  addEditor(h.desktop);
  h.desktop.addApplication(20, "com.example.impostor");
  sim::SimApplication& anonymous = h.desktop.addApplication(21, "com.example.anonymous");
  anonymous.bundleID.reset();

  int id = 0;
  for (desktop::Pid reported : {20, 21}) {
    h.desktop.openReportsPid = reported;
    h.request(++id, "apps.launch", {{"bundleId", Editor::kBundle}});
    EXPECT_EQ(h.responseFor(id)["error"],
              failure("applicationIdentityMismatch",
                      "The opened application does not match the selected application"))
        << "reported pid " << reported;
  }
}

TEST_F(ApplicationsTest, LaunchPassesAPlatformErrorOnAsOperationFailed) {
  addEditor(h.desktop);
  h.desktop.openApplicationPlan.failure = desktop::PlatformError{"The application is damaged"};
  h.request(1, "apps.launch", {{"bundleId", Editor::kBundle}});
  EXPECT_EQ(h.responseFor(1)["error"], failure("operationFailed", "The application is damaged"));
}

TEST_F(ApplicationsTest, LaunchWaitsForTheOpenWithoutTimeLimitAndStopsAtOnceWhenCancelled) {
  h.desktop.install("com.example.slow", "Slow", "/Applications/Slow.app");
  h.desktop.openApplicationPlan.hold = true;

  h.request(1, "apps.launch", {{"bundleId", "com.example.slow"}});
  h.advance(10min);
  EXPECT_TRUE(h.takeResponses().empty()) << "the wait has no time limit of its own";
  h.desktop.release(sim::AsyncCall::openApplication);
  h.settle();
  EXPECT_TRUE(h.responseFor(1).contains("result"));

  h.request(2, "apps.launch", {{"bundleId", "com.example.slow"}});
  h.request(3, "operation.cancel", {{"operationId", "2"}});
  std::vector<Json> responses = h.takeResponses();
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0]["id"], 3);
  EXPECT_EQ(responses[1]["id"], 2);
  EXPECT_EQ(responses[1]["error"], failure("cancelled", "Operation stopped"));
  EXPECT_TRUE(h.runtime.operations().empty());

  h.desktop.release(sim::AsyncCall::openApplication);  // the late completion is dropped
  h.drain();
  EXPECT_TRUE(h.takeResponses().empty());
}

// ---- apps.focus
// ----------------------------------------------------------------------------------

class FocusTest : public ApplicationsTest {
 protected:
  FocusTest() : editor(addEditor(h.desktop)), other(addOtherApp(h.desktop)) {
    h.desktop.frontmostPid = OtherAppFixture::kPid;
  }
  Json focus(int id) {
    h.request(id, "apps.focus", {{"bundleId", Editor::kBundle}});
    h.advance(150ms);
    return h.responseFor(id);
  }
  EditorFixture editor;
  OtherAppFixture other;
};

TEST_F(FocusTest, FocusActivatesWaitsOnceAndConfirmsTheFront) {
  h.request(1, "apps.focus", {{"bundleId", Editor::kBundle}});
  h.advance(149ms);
  EXPECT_TRUE(h.takeResponses().empty());
  h.advance(1ms);
  EXPECT_EQ(h.responseFor(1)["result"],
            (Json{{"bundleId", Editor::kBundle}, {"pid", Editor::kPid}, {"focused", true}}));
  EXPECT_EQ(h.desktop.log.activations, std::vector<desktop::Pid>{Editor::kPid});
}

TEST_F(FocusTest, FocusFailsWhenTheApplicationIsNotRunning) {
  h.request(1, "apps.focus", {{"bundleId", "com.example.absent"}});
  EXPECT_EQ(h.responseFor(1)["error"],
            failure("applicationNotRunning", "The selected application is not running",
                    {{"bundleId", "com.example.absent"}}));
  EXPECT_TRUE(h.desktop.log.activations.empty());
}

TEST_F(FocusTest, FocusFailsUnlessTheApplicationIsInFrontAfterTheWait) {
  const Json unavailable =
      failure("focusUnavailable", "The selected application could not become active");

  editor.app->acceptsActivation = false;
  EXPECT_EQ(focus(1)["error"], unavailable) << "activation refused";

  editor.app->acceptsActivation = true;
  editor.app->comesToFront = false;
  EXPECT_EQ(focus(2)["error"], unavailable) << "another application stays in front";

  editor.app->comesToFront = true;
  editor.app->activationDelay = 200ms;
  EXPECT_EQ(focus(3)["error"], unavailable) << "in front only after the one wait";
  h.drain();

  h.desktop.frontmostPid = OtherAppFixture::kPid;
  editor.app->activationDelay = 100ms;
  EXPECT_TRUE(focus(4).contains("result"));

  h.desktop.frontmostPid.reset();
  editor.app->comesToFront = false;
  EXPECT_EQ(focus(5)["error"], unavailable) << "no frontmost application at all";
}

TEST_F(FocusTest, FocusCancelledDuringTheWaitAnswersAtOnce) {
  h.request(1, "apps.focus", {{"bundleId", Editor::kBundle}});
  h.advance(50ms);
  h.request(2, "operation.cancel", {{"operationId", "1"}});
  EXPECT_EQ(h.responseFor(1)["error"], failure("cancelled", "Operation stopped"));
  EXPECT_TRUE(h.runtime.operations().empty());
}

}  // namespace
}  // namespace qor::testing
