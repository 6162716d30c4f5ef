#include "runtime/task.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "runtime/clock.h"
#include "runtime/event_loop.h"

namespace qor::runtime {
namespace {

using std::chrono::milliseconds;

// What a spawned task ended with: a value, an exception text, or "cancelled".
struct Outcome {
  bool finished = false;
  std::string text;
};

class TaskTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  EventLoop loop{clock};
  std::shared_ptr<CancellationState> cancellation = std::make_shared<CancellationState>();
  std::vector<std::string> order;

  // Runs `body` as an operation and records how it ended.
  template <class Body>
  std::shared_ptr<Outcome> start(Body body) {
    auto outcome = std::make_shared<Outcome>();
    spawn(loop, cancellation, record(std::move(body), outcome));
    return outcome;
  }

  template <class Body>
  static Task<void> record(Body body, std::shared_ptr<Outcome> outcome) {
    try {
      outcome->text = co_await body();
    } catch (const Cancelled&) {
      outcome->text = "cancelled";
    } catch (const std::exception& error) {
      outcome->text = std::string("threw: ") + error.what();
    }
    outcome->finished = true;
  }

  void settle() { loop.runUntilIdle(); }
  void advance(Duration by) {
    clock.advance(by);
    settle();
  }
};

Task<int> answer() {
  co_return 42;
}

Task<int> twiceTheAnswer() {
  int first = co_await answer();
  int second = co_await answer();
  co_return first + second;
}

Task<std::string> describe() {
  co_return std::to_string(co_await twiceTheAnswer());
}

Task<int> failsDeepDown() {
  co_await yieldNow();
  throw std::runtime_error("deep failure");
}

Task<int> passesItOn() {
  co_return co_await failsDeepDown() + 1;
}

Task<void> sleeper(Duration how, std::vector<std::string>& order, std::string name) {
  co_await sleepFor(how);
  order.push_back(name);
}

TEST_F(TaskTest, ResultsAndExceptionsTravelThroughNestedTasks) {
  auto value = start([] { return describe(); });
  auto failure =
      start([]() -> Task<std::string> { co_return std::to_string(co_await passesItOn()); });
  settle();
  EXPECT_TRUE(value->finished);
  EXPECT_EQ(value->text, "84");
  EXPECT_TRUE(failure->finished);
  EXPECT_EQ(failure->text, "threw: deep failure");
}

TEST_F(TaskTest, ASpawnedTaskStartsOnlyAfterWorkAlreadyQueued) {
  loop.post([this] { order.push_back("queued before"); });
  start([this]() -> Task<std::string> {
    order.push_back("task");
    co_return "";
  });
  EXPECT_TRUE(order.empty()) << "spawning never runs the task at once";
  settle();
  EXPECT_EQ(order, (std::vector<std::string>{"queued before", "task"}));
}

TEST_F(TaskTest, SleepEndsExactlyWhenTheVirtualClockReachesItsDeadline) {
  auto outcome = start([this]() -> Task<std::string> {
    co_await sleeper(milliseconds(150), order, "slept");
    co_return "done";
  });
  settle();
  advance(milliseconds(149));
  EXPECT_FALSE(outcome->finished);
  advance(milliseconds(1));
  EXPECT_TRUE(outcome->finished);
  EXPECT_EQ(outcome->text, "done");
  EXPECT_EQ(order, (std::vector<std::string>{"slept"}));
}

TEST_F(TaskTest, SleepsOfSeveralTasksEndInDeadlineOrder) {
  auto other = std::make_shared<CancellationState>();
  spawn(loop, cancellation, sleeper(milliseconds(30), order, "30"));
  spawn(loop, other, sleeper(milliseconds(10), order, "10"));
  spawn(loop, cancellation, sleeper(milliseconds(20), order, "20"));
  settle();
  advance(milliseconds(30));
  EXPECT_EQ(order, (std::vector<std::string>{"10", "20", "30"}));
}

TEST_F(TaskTest, CancelEndsASleepAtOnceThroughTheLoop) {
  auto outcome = start([this]() -> Task<std::string> {
    co_await sleeper(std::chrono::hours(1), order, "slept");
    co_return "done";
  });
  settle();
  ASSERT_TRUE(loop.nextTimerDeadline().has_value());

  cancellation->requestCancel();
  EXPECT_FALSE(outcome->finished) << "the task continues from the loop, not inside the cancel";
  settle();  // no time passes
  EXPECT_TRUE(outcome->finished);
  EXPECT_EQ(outcome->text, "cancelled");
  EXPECT_TRUE(order.empty());
  EXPECT_FALSE(loop.nextTimerDeadline().has_value()) << "the sleep's timer is gone";
}

TEST_F(TaskTest, ASleepAfterCancellationThrowsWithoutWaiting) {
  cancellation->requestCancel();
  auto outcome = start([this]() -> Task<std::string> {
    order.push_back("ran");
    co_await sleepFor(milliseconds(40));
    co_return "done";
  });
  settle();
  EXPECT_EQ(outcome->text, "cancelled");
  EXPECT_EQ(order, (std::vector<std::string>{"ran"}));
  EXPECT_FALSE(loop.nextTimerDeadline().has_value());
}

// Marking never interrupts: the task runs on to its next check, which then throws.
TEST_F(TaskTest, TheMarkIsSeenAtTheNextCheck) {
  auto checker = [this]() -> Task<std::string> {
    co_await yieldNow();  // not a cancellation point
    order.push_back(co_await isCancelled() ? "saw the mark" : "no mark");
    co_await throwIfCancelled();
    co_return "done";
  };
  auto unmarked = start(checker);
  settle();
  EXPECT_EQ(unmarked->text, "done");

  EXPECT_EQ(order, (std::vector<std::string>{"no mark"}));

  order.clear();
  auto marked = start(checker);
  loop.post([this] { cancellation->requestCancel(); });  // runs while the task is in its yield
  settle();
  EXPECT_EQ(order, (std::vector<std::string>{"saw the mark"}));
  EXPECT_EQ(marked->text, "cancelled");
}

TEST_F(TaskTest, YieldLetsWorkAlreadyQueuedRunFirst) {
  start([this]() -> Task<std::string> {
    order.push_back("task before yield");
    loop.post([this] { order.push_back("posted before yield"); });
    co_await yieldNow();
    order.push_back("task after yield");
    co_return "";
  });
  settle();
  EXPECT_EQ(order, (std::vector<std::string>{"task before yield", "posted before yield",
                                             "task after yield"}));
}

TEST_F(TaskTest, CompletionDeliversAValueOrAnErrorFromTheLoop) {
  Completion<int> value(loop);
  Completion<int> error(loop);
  auto got = start([value]() -> Task<std::string> { co_return std::to_string(co_await value); });
  auto failed = start([error]() -> Task<std::string> { co_return std::to_string(co_await error); });
  settle();
  EXPECT_FALSE(got->finished);

  value.resolve(7);
  error.reject(std::make_exception_ptr(std::runtime_error("no window")));
  EXPECT_FALSE(got->finished) << "the waiter continues from the queue, not inside resolve";
  settle();
  EXPECT_EQ(got->text, "7");
  EXPECT_EQ(failed->text, "threw: no window");

  Completion<int> early(loop);
  early.resolve(3);
  auto immediate =
      start([early]() -> Task<std::string> { co_return std::to_string(co_await early); });
  settle();
  EXPECT_EQ(immediate->text, "3") << "a result delivered before the wait is kept";
}

Task<void> awaitBothThenQuit(Completion<std::thread::id> value, Completion<int> error,
                             std::optional<std::thread::id>& resumedOn, std::string& failure,
                             EventLoop& loop) {
  std::thread::id deliveredFrom = co_await value;
  resumedOn = std::this_thread::get_id();
  EXPECT_NE(deliveredFrom, *resumedOn);
  try {
    co_await error;
  } catch (const std::exception& rejected) {
    failure = rejected.what();
  }
  loop.quit();
}

TEST_F(TaskTest, CompletionFromAnotherThreadContinuesTheTaskOnTheLoopThread) {
  Completion<std::thread::id> value(loop);
  Completion<int> error(loop);
  std::optional<std::thread::id> resumedOn;
  std::string failure;
  spawn(loop, cancellation, awaitBothThenQuit(value, error, resumedOn, failure, loop));

  // A loop with nothing else to wait for would block in this watch's own read and never see
  // the results: a pending completion keeps it waiting where a hand-over wakes it.
  int never[2];
  ASSERT_EQ(pipe(never), 0);
  auto watch = loop.watchFd(
      never[0], POLLIN, [](short) {},
      [] {
        ADD_FAILURE() << "waited by reading while a result could come from another thread";
        return false;
      });

  std::thread worker([value, error] {
    value.resolveFromAnyThread(std::this_thread::get_id());
    error.rejectFromAnyThread(std::make_exception_ptr(std::runtime_error("denied")));
  });
  loop.run();  // returns when the task has seen both results
  worker.join();
  loop.unwatchFd(watch);
  close(never[0]);
  close(never[1]);
  ASSERT_TRUE(resumedOn.has_value());
  EXPECT_EQ(*resumedOn, std::this_thread::get_id());
  EXPECT_EQ(failure, "denied");
}

TEST_F(TaskTest, CancellableCompletionEndsAtOnceOnCancelAndDropsTheLateResult) {
  Completion<int> completion(loop);
  auto outcome = start([completion]() -> Task<std::string> {
    co_return std::to_string(co_await completion.cancellable());
  });
  settle();
  cancellation->requestCancel();
  settle();
  EXPECT_EQ(outcome->text, "cancelled");

  completion.resolve(5);  // arrives after the task has gone on: nobody is resumed
  settle();
  EXPECT_EQ(outcome->text, "cancelled");
}

TEST_F(TaskTest, CancellableCompletionAfterCancellationDoesNotWait) {
  Completion<int> completion(loop);
  cancellation->requestCancel();
  auto outcome = start([completion]() -> Task<std::string> {
    co_return std::to_string(co_await completion.cancellable());
  });
  settle();
  EXPECT_EQ(outcome->text, "cancelled");
}

TEST_F(TaskTest, AResultDeliveredJustBeforeACancelIsKeptAndResumesOnce) {
  Completion<int> completion(loop);
  int resumptions = 0;
  auto outcome = start([completion, &resumptions]() -> Task<std::string> {
    int value = co_await completion.cancellable();
    ++resumptions;
    co_await yieldNow();
    co_return std::to_string(value);
  });
  settle();
  completion.resolve(9);          // the wake-up is queued...
  cancellation->requestCancel();  // ...and the cancel comes before it runs
  settle();
  EXPECT_EQ(resumptions, 1);
  EXPECT_EQ(outcome->text, "9");
}

TEST_F(TaskTest, PlainCompletionWaitsForItsResultDespiteTheMark) {
  Completion<int> completion(loop);
  auto outcome =
      start([completion]() -> Task<std::string> { co_return std::to_string(co_await completion); });
  settle();
  cancellation->requestCancel();
  settle();
  EXPECT_FALSE(outcome->finished);
  completion.resolve(1);
  settle();
  EXPECT_EQ(outcome->text, "1");
}

}  // namespace
}  // namespace qor::runtime
