#include "runtime/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "runtime/clock.h"

namespace qor::runtime {
namespace {

using std::chrono::milliseconds;

class EventLoopTest : public ::testing::Test {
 protected:
  VirtualClock clock;
  EventLoop loop{clock};
  std::vector<std::string> order;

  EventLoop::Work note(std::string name) {
    return [this, name = std::move(name)] { order.push_back(name); };
  }
};

TEST_F(EventLoopTest, PostedWorkRunsInOrderAndLaterPostsWaitForEarlierOnes) {
  loop.post(note("a"));
  loop.post([this] {
    order.push_back("b");
    loop.post(note("d"));  // queued behind c, which was already waiting
  });
  loop.post(note("c"));
  EXPECT_TRUE(order.empty()) << "posting never runs work at once";
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(EventLoopTest, TimersFireInDeadlineOrderOnlyWhenDue) {
  MonoTime start = clock.now();
  loop.addTimer(start + milliseconds(30), note("30"));
  loop.addTimer(start + milliseconds(10), note("10 first"));
  auto cancelled = loop.addTimer(start + milliseconds(20), note("20 cancelled"));
  loop.addTimer(start + milliseconds(10), note("10 second"));
  loop.cancelTimer(cancelled);
  loop.cancelTimer(cancelled);  // a second cancel is harmless

  loop.runUntilIdle();
  EXPECT_TRUE(order.empty());
  ASSERT_TRUE(loop.nextTimerDeadline().has_value());
  EXPECT_EQ(*loop.nextTimerDeadline(), start + milliseconds(10));

  clock.advance(milliseconds(29));
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"10 first", "10 second"}));

  clock.advance(milliseconds(1));
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"10 first", "10 second", "30"}));
  EXPECT_FALSE(loop.nextTimerDeadline().has_value());
}

TEST_F(EventLoopTest, ATimerAddedWhileTimersFireWaitsForTheNextRound) {
  // A chain of zero-length timers must not keep the queue from running.
  loop.addTimer(clock.now(), [this] {
    order.push_back("timer 1");
    loop.post(note("posted by timer 1"));
    loop.addTimer(clock.now(), note("timer 2"));
  });
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"timer 1", "posted by timer 1", "timer 2"}));
}

TEST_F(EventLoopTest, ATimerCancelledByAnEarlierTimerOfTheSameRoundDoesNotFire) {
  EventLoop::TimerId second = 0;
  loop.addTimer(clock.now(), [&] {
    order.push_back("first");
    loop.cancelTimer(second);
  });
  second = loop.addTimer(clock.now(), note("second"));
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"first"}));
}

TEST_F(EventLoopTest, WorkFromOtherThreadsArrivesInOrderAndCanStopTheLoop) {
  constexpr int kItems = 10'000;
  std::vector<int> received;
  std::thread producer([&] {
    for (int i = 0; i < kItems; ++i) {
      loop.postFromAnyThread([&received, i] { received.push_back(i); });
    }
    loop.postFromAnyThread([this] { loop.quit(); });
  });
  loop.run();  // blocks in poll until the producer's items arrive; returns at the quit
  producer.join();
  ASSERT_EQ(received.size(), static_cast<std::size_t>(kItems));
  for (int i = 0; i < kItems; ++i) {
    ASSERT_EQ(received[static_cast<std::size_t>(i)], i);
  }
}

TEST_F(EventLoopTest, HandedOverWorkIsTakenBehindLocalWorkUnlessAdoptedFirst) {
  loop.postFromAnyThread(note("handed over"));
  loop.post(note("local"));
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"local", "handed over"}));

  order.clear();
  loop.postFromAnyThread(note("handed over"));
  loop.adoptHandedOverWork();
  loop.post(note("local"));
  loop.runUntilIdle();
  EXPECT_EQ(order, (std::vector<std::string>{"handed over", "local"}));
}

class Pipe {
 public:
  Pipe() {
    if (pipe(fds_) != 0) {
      throw std::runtime_error("pipe failed");
    }
  }
  ~Pipe() {
    close(fds_[0]);
    close(fds_[1]);
  }
  int readEnd() const { return fds_[0]; }
  void put(char byte) const { ASSERT_EQ(write(fds_[1], &byte, 1), 1); }
  char take() const {
    char byte = 0;
    EXPECT_EQ(read(fds_[0], &byte, 1), 1);
    return byte;
  }

 private:
  int fds_[2];
};

// The after-wait hooks run before the loop handles what woke it: a descriptor's callback, here.
TEST(EventLoopWaiting, HooksFramePeriodsOfWaitingThatOtherThreadsCanSee) {
  RealClock clock;
  EventLoop loop(clock);
  Pipe pipe;
  std::vector<std::string> order;
  loop.addBeforeWait([&] { order.push_back(loop.isWaiting() ? "before, waiting" : "before"); });
  loop.addAfterWait([&] { order.push_back(loop.isWaiting() ? "after, waiting" : "after"); });
  loop.watchFd(pipe.readEnd(), POLLIN, [&](short) {
    order.push_back("ready");
    pipe.take();
    loop.quit();
  });
  std::thread other([&] {
    while (!loop.isWaiting()) {
      std::this_thread::yield();  // the loop thread is about to block in poll
    }
    pipe.put('x');
  });
  loop.run();
  other.join();
  EXPECT_EQ(order, (std::vector<std::string>{"before", "after", "ready"}));
  EXPECT_FALSE(loop.isWaiting());
}

// Another thread judges from this time how long the loop has been held up by its work.
TEST_F(EventLoopTest, EachLookAtTheDescriptorsIsStampedOnTheRealClock) {
  const auto before = std::chrono::steady_clock::now();
  EXPECT_LE(loop.descriptorsCheckedAt(), before) << "not looked yet since it was made";
  clock.advance(std::chrono::hours(1));  // the loop's own clock does not matter
  loop.runUntilIdle();
  const auto checked = loop.descriptorsCheckedAt();
  EXPECT_GE(checked, before);
  EXPECT_LE(checked, std::chrono::steady_clock::now());
}

// A watch that can wait by reading replaces poll() only when it is all the loop would wait for;
// then its read stands for the wait and `ready` follows as if poll() had found it readable.
TEST(EventLoopWaiting, AWatchWaitsByReadingOnlyWhenNothingElseCouldWakeTheLoop) {
  RealClock clock;
  EventLoop loop(clock);
  Pipe pipe;
  std::vector<std::string> order;
  bool mayWait = true;
  std::string read;
  loop.watchFd(
      pipe.readEnd(), POLLIN,
      [&](short revents) {
        order.push_back(read.empty() ? "ready, reads" : "ready, has " + read);
        EXPECT_TRUE(revents & POLLIN);
        if (read.empty()) {
          read.push_back(pipe.take());
        }
        read.clear();
        loop.quit();
      },
      [&] {
        order.push_back(mayWait ? "waits by reading" : "declines");
        if (mayWait) {
          read.push_back(pipe.take());
        }
        return mayWait;
      });
  auto oneWakeUp = [&] {
    order.clear();
    std::thread writer([&] {
      while (!loop.isWaiting()) {
        std::this_thread::yield();
      }
      pipe.put('x');
    });
    loop.run();
    writer.join();
    return order;
  };
  using Order = std::vector<std::string>;

  EXPECT_EQ(oneWakeUp(), (Order{"waits by reading", "ready, has x"}));

  mayWait = false;
  EXPECT_EQ(oneWakeUp(), (Order{"declines", "ready, reads"}));
  mayWait = true;

  auto timer = loop.addTimer(clock.now() + std::chrono::hours(1), [] {});
  EXPECT_EQ(oneWakeUp(), (Order{"ready, reads"})) << "a timer can wake the loop";
  loop.cancelTimer(timer);

  {
    EventLoop::HandOverSource source(loop);
    EXPECT_EQ(oneWakeUp(), (Order{"ready, reads"})) << "another thread can hand work over";
  }

  Pipe other;
  auto otherWatch = loop.watchFd(other.readEnd(), POLLIN, [](short) {});
  EXPECT_EQ(oneWakeUp(), (Order{"ready, reads"})) << "another descriptor can wake the loop";
  loop.unwatchFd(otherWatch);

  EXPECT_EQ(oneWakeUp(), (Order{"waits by reading", "ready, has x"}));
}

TEST(EventLoopRealClock, RunWakesForATimerWithoutOtherActivity) {
  RealClock clock;
  EventLoop loop(clock);
  bool fired = false;
  loop.addTimer(clock.now() + milliseconds(2), [&] {
    fired = true;
    loop.quit();
  });
  MonoTime start = clock.now();
  loop.run();
  EXPECT_TRUE(fired);
  EXPECT_GE(clock.now() - start, milliseconds(2)) << "never woken early";
}

TEST_F(EventLoopTest, DescriptorWatchCallsBackWhileReadyUntilRemoved) {
  Pipe pipe;
  std::string seen;
  EventLoop::WatchId watch = loop.watchFd(pipe.readEnd(), POLLIN, [&](short revents) {
    EXPECT_TRUE(revents & POLLIN);
    seen.push_back(pipe.take());
  });
  loop.runUntilIdle();
  EXPECT_EQ(seen, "") << "nothing to read yet";

  pipe.put('x');
  pipe.put('y');
  loop.runUntilIdle();
  EXPECT_EQ(seen, "xy") << "called again while data remains";

  loop.unwatchFd(watch);
  pipe.put('z');
  loop.runUntilIdle();
  EXPECT_EQ(seen, "xy");
}

TEST_F(EventLoopTest, AWatchMayRemoveItselfAndAnotherFromItsCallback) {
  Pipe first;
  Pipe second;
  int calls = 0;
  EventLoop::WatchId firstWatch = 0;
  EventLoop::WatchId secondWatch = 0;
  auto removeBoth = [&](short) {
    ++calls;
    loop.unwatchFd(firstWatch);
    loop.unwatchFd(secondWatch);
  };
  firstWatch = loop.watchFd(first.readEnd(), POLLIN, removeBoth);
  secondWatch = loop.watchFd(second.readEnd(), POLLIN, removeBoth);
  first.put('a');
  second.put('b');
  loop.runUntilIdle();
  EXPECT_EQ(calls, 1) << "the removed watch is not called although it was ready";
}

}  // namespace
}  // namespace qor::runtime
