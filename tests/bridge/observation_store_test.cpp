// The observation store: validation against the live application and window, element lookup, and
// pruning to the 32 observations that expire last.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "bridge/support/harness.h"
#include "bridge/support/sim_fixtures.h"

namespace qor {
namespace {

using namespace std::chrono_literals;
using sim::SimElement;

constexpr desktop::Pid kEditorPid = 100;
constexpr Frame kEditorFrame{100, 100, 800, 600};
constexpr const char* kEditor = "com.example.editor";
constexpr const char* kOther = testing::OtherAppFixture::kBundle;

const std::string kObserveAgain = "Observe the selected application again before acting";
const std::string kWindowChanged = "The selected window moved, resized or closed; observe again";
const std::string kControlChanged = "The control changed; observe again";

class ObservationStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::SimApplication& editor = h.desktop.addApplication(kEditorPid, kEditor);
    save = sim::element("AXButton")->title("Save");
    window = testing::addAppWindow(h.desktop, editor, 11, kEditorFrame, "Untitled")->child(save);
    testing::addOtherApp(h.desktop);
  }

  // Observes `bundleID` and returns the observation id.
  std::string observe(const std::string& bundleID = kEditor) {
    h.request(++id, "app.observe", {{"bundleId", bundleID}});
    Json response = h.responseFor(id);
    EXPECT_TRUE(response.contains("result")) << response.dump();
    return response["result"]["observationId"];
  }

  Observation validate(const std::string& observationID, const std::string& bundleID = kEditor) {
    return h.runtime.observations().validate(h.runtime.targetApp({{"bundleId", bundleID}}),
                                             observationID);
  }

  // The failure a call raises; fails the test when it raises none.
  template <class Call>
  NativeFailure failureOf(Call call) {
    try {
      call();
    } catch (const NativeFailure& failure) {
      return failure;
    }
    ADD_FAILURE() << "no failure raised";
    return NativeFailure("operationFailed", "no failure raised");
  }

  void expectStale(const std::string& observationID, const std::string& message,
                   const std::string& bundleID = kEditor) {
    NativeFailure failure = failureOf([&] { validate(observationID, bundleID); });
    EXPECT_EQ(failure.code(), "staleObservation");
    EXPECT_EQ(failure.message(), message);
    EXPECT_EQ(failure.details(), Json::object());
  }

  void expectControlChanged(const Observation& observation, const std::string& ref) {
    NativeFailure failure = failureOf([&] { h.runtime.observations().element(observation, ref); });
    EXPECT_EQ(failure.code(), "staleObservation") << ref;
    EXPECT_EQ(failure.message(), kControlChanged) << ref;
  }

  testing::Harness h;
  SimElement::Ptr window;
  SimElement::Ptr save;
  int id = 0;
};

TEST_F(ObservationStoreTest, ValidUntilItExpires) {
  const std::string observed = observe();
  h.advance(119s);
  const Observation& observation =
      h.runtime.observations().validate(h.runtime.targetApp({{"bundleId", kEditor}}), observed);
  EXPECT_EQ(observation.pid, kEditorPid);
  EXPECT_EQ(observation.id, observed);

  h.advance(2s);
  expectStale(observed, kObserveAgain);
  EXPECT_TRUE(h.runtime.observations().contains(observed)) << "validation never removes";
}

TEST_F(ObservationStoreTest, BelongsToOneProcessOfOneApplication) {
  const std::string observed = observe();
  expectStale(observed, kObserveAgain, kOther);
  expectStale("00000000-0000-4000-8000-000000000000", kObserveAgain);

  // Quit and relaunch: same bundle identifier and window, new process.
  sim::SimApplication relaunched = h.desktop.application(kEditorPid);
  h.desktop.removeApplication(kEditorPid);
  relaunched.pid = 101;
  relaunched.launchDate = *relaunched.launchDate + 1;
  h.desktop.addApplication(std::move(relaunched));
  h.desktop.window(11).ownerPID = 101;
  expectStale(observed, kObserveAgain);
}

TEST_F(ObservationStoreTest, SameProcessWithAnotherLaunchDateIsStale) {
  const std::string observed = observe();
  h.desktop.application(kEditorPid).launchDate.reset();
  expectStale(observed, kObserveAgain);
}

TEST_F(ObservationStoreTest, ObservedWindowMustStayWithinOnePoint) {
  const std::string observed = observe();
  h.desktop.window(11).moveBy(1, -1);
  EXPECT_EQ(validate(observed).id, observed);

  h.desktop.window(11).moveBy(1, 0);  // 2 points from where it was observed
  expectStale(observed, kWindowChanged);

  h.desktop.window(11).setFrame({100, 100, 802, 600});
  expectStale(observed, kWindowChanged);
  h.desktop.window(11).setFrame(kEditorFrame);
  EXPECT_EQ(validate(observed).id, observed);

  h.desktop.window(11).onScreen = false;  // minimised
  expectStale(observed, kWindowChanged);
  h.desktop.removeWindow(11);
  expectStale(observed, kWindowChanged);
}

TEST_F(ObservationStoreTest, WithoutAnObservedWindowThereIsNoWindowCheck) {
  h.desktop.removeWindow(11);
  const std::string observed = observe();
  h.desktop.log = {};
  EXPECT_EQ(validate(observed).id, observed);
  EXPECT_FALSE(h.desktop.log.called("onScreenWindows"));
}

TEST_F(ObservationStoreTest, ElementLookupRereadsRoleAndTitle) {
  const Observation observation = validate(observe());
  EXPECT_EQ(h.runtime.observations().element(observation, "e2").get(), save.get());

  expectControlChanged(observation, "e3");  // never issued
  // Other spellings of an issued number are not references either.
  for (const char* spelling :
       {"E2", "e02", "e+2", "e2 ", " e2", "e", "2", "e0", "e-1", "e18446744073709551617"}) {
    expectControlChanged(observation, spelling);
  }

  save->title("Save As");
  expectControlChanged(observation, "e2");
  save->title("Save")->role("AXMenuItem");
  expectControlChanged(observation, "e2");
  save->role("AXButton")->invalidate();  // gone: reads as empty role and title
  expectControlChanged(observation, "e2");
}

TEST_F(ObservationStoreTest, TitlesAreComparedInFull) {
  const std::string longTitle(5'000, 't');
  save->title(longTitle);
  const Observation observation = validate(observe());
  EXPECT_EQ(h.runtime.observations().element(observation, "e2").get(), save.get());
  save->title(longTitle + "!");  // differs only beyond the 4,000 characters the tree shows
  expectControlChanged(observation, "e2");
}

TEST_F(ObservationStoreTest, KeepsTheThirtyTwoThatExpireLast) {
  std::vector<std::string> made;
  for (int i = 0; i < 33; ++i) {
    made.push_back(observe());
    h.advance(1s);
  }
  EXPECT_EQ(h.runtime.observations().size(), 32u);
  expectStale(made.front(), kObserveAgain);
  for (std::size_t i = 1; i < made.size(); ++i) {
    EXPECT_EQ(validate(made[i]).id, made[i]);
  }
}

TEST_F(ObservationStoreTest, AddingDropsExpiredFirstThenEarliestExpiring) {
  const runtime::WallTime now = h.clock.wallNow();
  ObservationStore& store = h.runtime.observations();
  auto add = [&](const std::string& name, runtime::WallTime expires) {
    Observation observation;
    observation.id = name;
    observation.expires = expires;
    store.add(observation);
  };
  add("expired", now);
  EXPECT_FALSE(store.contains("expired")) << "expired when it is stored";
  add("soon", now + 1s);
  for (int i = 0; i < 31; ++i) {
    add("later-" + std::to_string(100 + i), now + 120s);
  }
  EXPECT_EQ(store.size(), 32u);
  h.advance(1s);
  add("later-200", now + 120s);
  EXPECT_FALSE(store.contains("soon")) << "expired since it was stored";
  EXPECT_EQ(store.size(), 32u);

  // A capture lives 30 seconds: it goes before older observations that expire later. Among equal
  // expiries the order of the ids decides.
  add("capture", now + 30s);
  EXPECT_FALSE(store.contains("capture"));
  add("a-tie", now + 120s);
  add("z-tie", now + 120s);
  EXPECT_EQ(store.size(), 32u);
  EXPECT_FALSE(store.contains("a-tie"));
  EXPECT_TRUE(store.contains("z-tie"));

  // An id stored again replaces the observation it names.
  add("z-tie", now + 200s);
  EXPECT_EQ(store.size(), 32u);
  EXPECT_EQ(store.at("z-tie").expires, now + 200s);
}

}  // namespace
}  // namespace qor
