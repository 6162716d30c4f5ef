// The ledger that tells the bridge's own XTest events from everyone else's: one table of
// sequences of sent and arriving events, each arrival with the source it must be given.

#include "platform/x11/input_ledger.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qor::platform {
namespace {

using std::chrono::milliseconds;

// One step: the bridge sends `input` at `at` milliseconds after the start; or `input` arrives as
// a raw event of the XTest devices and must count as the bridge's (`ours`) or not; or the bridge
// has read everything reported by `at`.
enum class StepKind { send, arrive, drain };

struct Step {
  StepKind kind;
  RawInput input;
  int at = 0;
  bool ours = false;
};

Step send(RawInput input, int at = 0) {
  return Step{StepKind::send, input, at};
}
Step arrive(RawInput input, bool ours) {
  return Step{StepKind::arrive, input, 0, ours};
}
Step drain(int at) {
  return Step{StepKind::drain, {}, at};
}

const RawInput kMove{RawKind::motion, 0, 100, 200};
const RawInput kElsewhere{RawKind::motion, 0, 105, 207};
const RawInput kLeft{RawKind::button, 1};
const RawInput kRight{RawKind::button, 3};
const RawInput kKeyA{RawKind::key, 38};
const RawInput kKeyB{RawKind::key, 56};

struct Scenario {
  std::string name;
  std::vector<Step> steps;
};

const std::vector<Scenario> kScenarios = {
    {"the bridge's click is its own",
     {send(kMove), send(kLeft), arrive(kMove, true), arrive(kLeft, true)}},
    {"a motion to where the pointer was may go unreported",
     {send(kMove), send(kLeft), arrive(kLeft, true)}},
    {"nothing sent: every event is the user's", {arrive(kMove, false), arrive(kKeyA, false)}},
    {"another program's motion elsewhere is the user's",
     {send(kMove), arrive(kElsewhere, false), arrive(kMove, true)}},
    {"another button is the user's, and ours still arrives",
     {send(kLeft), arrive(kRight, false), arrive(kLeft, true)}},
    {"an identical foreign click in between leaves ours unmatched",
     {send(kLeft), arrive(kLeft, true), arrive(kLeft, false)}},
    {"a key sent once counts once", {send(kKeyA), arrive(kKeyA, true), arrive(kKeyA, false)}},
    {"keys in order", {send(kKeyA), send(kKeyB), arrive(kKeyA, true), arrive(kKeyB, true)}},
    {"keys out of order: the skipped press makes it the user's",
     {send(kKeyA), send(kKeyB), arrive(kKeyB, false), arrive(kKeyA, true)}},
    {"a press is never skipped for a later motion",
     {send(kLeft), send(kMove), arrive(kMove, false), arrive(kLeft, true)}},
    {"an entry never reported expires",
     {send(kKeyA, 0), drain(1500), arrive(kKeyA, false), send(kKeyA, 1600), arrive(kKeyA, true)}},
    {"an event reported late within the ledger's life is still ours",
     {send(kKeyA, 0), drain(900), arrive(kKeyA, true)}},
    {"events read late because the bridge was busy are still ours",
     {send(kMove, 0), send(kLeft, 10), send(kKeyA, 1500), drain(0), arrive(kMove, true),
      arrive(kLeft, true), arrive(kKeyA, true)}},
};

TEST(InputLedger, TellsTheBridgesEventsFromEveryoneElses) {
  for (const Scenario& scenario : kScenarios) {
    InputLedger ledger;
    const auto start = InputLedger::Clock::time_point{};
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      auto when = start + milliseconds(step.at);
      switch (step.kind) {
        case StepKind::send:
          ledger.sent(step.input, when);
          break;
        case StepKind::drain:
          ledger.drained(when);
          break;
        case StepKind::arrive:
          EXPECT_EQ(ledger.claim(step.input), step.ours) << scenario.name << ", step " << i + 1;
          break;
      }
    }
  }
}

}  // namespace
}  // namespace qor::platform
