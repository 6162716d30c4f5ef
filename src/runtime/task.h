#pragma once
// Coroutine tasks for operations. A task is lazy: it starts when awaited (or spawned) and hands
// its result or exception to whoever awaits it. Every task in one chain shares one environment:
// the loop it runs on and the cancellation mark of the operation it belongs to.
//
// Cancellation is cooperative. Marking never interrupts running code; sleeps end at once with
// Cancelled, and handlers check the mark where the protocol says they must.
//
// g++ 12 miscompiles a coroutine that has a co_await inside the condition of an if, while or
// switch (the frame is allocated too small and the body may never run). Await into a local
// first: `bool stop = co_await isCancelled(); if (stop) ...`.

#include <cassert>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <variant>

#include "runtime/event_loop.h"

namespace qor::runtime {

// Thrown where a cancelled operation notices its mark; the operation body answers "cancelled".
struct Cancelled : std::exception {
  const char* what() const noexcept override { return "Operation stopped"; }
};

// The cancellation mark of one operation, shared by the registry and the running task.
class CancellationState {
 public:
  bool isCancelled() const { return cancelled_; }

  // Marks the operation and wakes the cancellable wait in progress, if any. The wake-up goes
  // through the loop, so the caller finishes what it is doing (for example writing the cancel
  // response) before the task continues.
  void requestCancel();

  // Used by cancellable waits: `wake` runs (once) when cancellation is requested during the wait.
  void setWaker(std::function<void()> wake) { waker_ = std::move(wake); }
  void clearWaker() { waker_ = nullptr; }

 private:
  bool cancelled_ = false;
  std::function<void()> waker_;
};

struct TaskEnvironment {
  EventLoop* loop = nullptr;
  std::shared_ptr<CancellationState> cancellation{};
};

namespace detail {

struct PromiseBase {
  std::coroutine_handle<> continuation;
  TaskEnvironment environment;

  std::suspend_always initial_suspend() noexcept { return {}; }

  struct FinalAwaiter {
    bool await_ready() noexcept { return false; }
    template <class Promise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> self) noexcept {
      auto next = self.promise().continuation;
      return next ? next : std::noop_coroutine();
    }
    void await_resume() noexcept {}
  };
  FinalAwaiter final_suspend() noexcept { return {}; }
};

template <class T>
struct Promise;

}  // namespace detail

template <class T = void>
class [[nodiscard]] Task {
 public:
  using promise_type = detail::Promise<T>;
  using Handle = std::coroutine_handle<promise_type>;

  explicit Task(Handle handle) : handle_(handle) {}
  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { reset(); }

  struct Awaiter {
    Handle child;
    bool await_ready() const noexcept { return false; }
    template <class ParentPromise>
    std::coroutine_handle<> await_suspend(std::coroutine_handle<ParentPromise> parent) noexcept {
      child.promise().environment = parent.promise().environment;
      child.promise().continuation = parent;
      return child;
    }
    T await_resume() { return child.promise().take(); }
  };
  Awaiter operator co_await() && noexcept { return Awaiter{handle_}; }

  Handle release() { return std::exchange(handle_, {}); }

 private:
  void reset() {
    if (handle_) {
      handle_.destroy();
      handle_ = {};
    }
  }
  Handle handle_;
};

namespace detail {

template <class T>
struct Promise : PromiseBase {
  std::variant<std::monostate, T, std::exception_ptr> result;

  Task<T> get_return_object() { return Task<T>{Task<T>::Handle::from_promise(*this)}; }
  template <class U>
  void return_value(U&& value) {
    result.template emplace<1>(std::forward<U>(value));
  }
  void unhandled_exception() { result.template emplace<2>(std::current_exception()); }
  T take() {
    if (result.index() == 2) {
      std::rethrow_exception(std::get<2>(result));
    }
    return std::move(std::get<1>(result));
  }
};

template <>
struct Promise<void> : PromiseBase {
  std::exception_ptr error;

  Task<void> get_return_object() { return Task<void>{Task<void>::Handle::from_promise(*this)}; }
  void return_void() {}
  void unhandled_exception() { error = std::current_exception(); }
  void take() {
    if (error) {
      std::rethrow_exception(error);
    }
  }
};

}  // namespace detail

// Starts `task` as a detached operation with its own environment. Its first step runs from the
// loop's queue, after every closure already posted. The task must not let an exception escape.
void spawn(EventLoop& loop, std::shared_ptr<CancellationState> cancellation, Task<void> task);

// Awaitables. Each must be awaited from inside a Task.

// Sleeps on the loop's clock; ends at once, throwing Cancelled, when the operation is (or becomes)
// cancelled.
struct SleepAwaiter {
  explicit SleepAwaiter(Duration d) : duration(d) {}

  Duration duration;
  TaskEnvironment* environment = nullptr;
  std::optional<EventLoop::TimerId> timer;
  bool cancelled = false;

  bool await_ready() const noexcept { return false; }
  template <class Promise>
  bool await_suspend(std::coroutine_handle<Promise> handle) {
    environment = &handle.promise().environment;
    return suspend(handle);
  }
  void await_resume();

 private:
  bool suspend(std::coroutine_handle<> handle);
};
inline SleepAwaiter sleepFor(Duration duration) {
  return SleepAwaiter(duration);
}

// Lets every closure already queued run first, then continues. Not a cancellation point.
struct YieldAwaiter {
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  void await_suspend(std::coroutine_handle<Promise> handle) {
    handle.promise().environment.loop->post([handle] { handle.resume(); });
  }
  void await_resume() const noexcept {}
};
inline YieldAwaiter yieldNow() {
  return {};
}

// Reads the running task's environment without suspending; the awaiters below say what
// `co_await` gives from it.
struct EnvironmentPeek {
  TaskEnvironment* environment = nullptr;
  bool await_ready() const noexcept { return false; }
  template <class Promise>
  bool await_suspend(std::coroutine_handle<Promise> handle) noexcept {
    environment = &handle.promise().environment;
    return false;
  }
};

// Gives the running task's environment.
struct EnvironmentAwaiter : EnvironmentPeek {
  TaskEnvironment& await_resume() const noexcept { return *environment; }
};
inline EnvironmentAwaiter currentEnvironment() {
  return {};
}

// The running operation's cancellation mark, read without suspending: `co_await isCancelled()`
// gives a bool, `co_await throwIfCancelled()` throws Cancelled when the mark is set. Plain
// awaiters rather than tasks, so a check costs no coroutine frame.
struct CancellationCheck : EnvironmentPeek {
  bool marked() const noexcept {
    return environment->cancellation && environment->cancellation->isCancelled();
  }
};
struct IsCancelledAwaiter : CancellationCheck {
  bool await_resume() const noexcept { return marked(); }
};
struct ThrowIfCancelledAwaiter : CancellationCheck {
  void await_resume() const {
    if (marked()) {
      throw Cancelled{};
    }
  }
};
inline IsCancelledAwaiter isCancelled() {
  return {};
}
inline ThrowIfCancelledAwaiter throwIfCancelled() {
  return {};
}

// A one-shot result that some callback (on the loop thread, or any thread through
// resolveFromAnyThread) delivers later, and one task awaits. Copies share the same state.
// Not a cancellation point: the waiting task continues only when the result arrives.
template <class T>
class Completion {
 public:
  explicit Completion(EventLoop& loop) : state_(std::make_shared<State>(loop)) {}

  void resolve(T value) const {
    state_->value.template emplace<1>(std::move(value));
    wake();
  }
  void reject(std::exception_ptr error) const {
    state_->value.template emplace<2>(std::move(error));
    wake();
  }
  // Thread-safe: the result is handed to the loop and delivered there, in posting order.
  void resolveFromAnyThread(T value) const {
    state_->loop.postFromAnyThread(
        [copy = *this, value = std::move(value)]() mutable { copy.resolve(std::move(value)); });
  }
  void rejectFromAnyThread(std::exception_ptr error) const {
    state_->loop.postFromAnyThread(
        [copy = *this, error = std::move(error)]() mutable { copy.reject(std::move(error)); });
  }

  // Awaiting the completion itself waits for the result whatever happens; cancellable() gives an
  // awaitable that ends at once with Cancelled when the operation is (or becomes) cancelled.
  // A result that arrives after such a cancellation is dropped.
  struct CancellableAwaiter;
  CancellableAwaiter cancellable() const { return CancellableAwaiter{*this}; }

  bool await_ready() const noexcept { return state_->value.index() != 0; }
  void await_suspend(std::coroutine_handle<> handle) const { state_->waiter = handle; }
  T await_resume() const {
    if (state_->value.index() == 2) {
      std::rethrow_exception(std::get<2>(state_->value));
    }
    return std::move(std::get<1>(state_->value));
  }

 private:
  struct State {
    explicit State(EventLoop& l) : loop(l), source(l) {}
    EventLoop& loop;
    EventLoop::HandOverSource source;  // the result may come from another thread at any moment
    std::variant<std::monostate, T, std::exception_ptr> value;
    std::coroutine_handle<> waiter;
  };

  // The waiter continues from the loop's queue, never inside the callback that delivered.
  void wake() const {
    if (auto waiter = std::exchange(state_->waiter, {})) {
      state_->loop.post([waiter] { waiter.resume(); });
    }
  }

  std::shared_ptr<State> state_;
};

template <class T>
struct Completion<T>::CancellableAwaiter {
  Completion<T> completion;
  std::shared_ptr<CancellationState> cancellation{};
  bool cancelled = false;

  bool await_ready() const noexcept { return completion.await_ready(); }
  template <class Promise>
  bool await_suspend(std::coroutine_handle<Promise> handle) {
    cancellation = handle.promise().environment.cancellation;
    if (cancellation && cancellation->isCancelled()) {
      cancelled = true;
      return false;
    }
    completion.state_->waiter = handle;
    if (cancellation) {
      cancellation->setWaker([this] {
        // When the result has already been delivered, its wake-up is on its way: resuming here
        // too would resume the task twice. The result then stands; the mark stays set.
        if (auto waiter = std::exchange(completion.state_->waiter, {})) {
          cancelled = true;
          completion.state_->loop.post([waiter] { waiter.resume(); });
        }
      });
    }
    return true;
  }
  T await_resume() {
    if (cancellation) {
      cancellation->clearWaker();
    }
    if (cancelled) {
      throw Cancelled{};
    }
    return completion.await_resume();
  }
};

}  // namespace qor::runtime
