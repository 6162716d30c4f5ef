#include "runtime/task.h"

namespace qor::runtime {

void CancellationState::requestCancel() {
  cancelled_ = true;
  if (auto wake = std::exchange(waker_, nullptr)) {
    wake();
  }
}

namespace {

// The root of a spawned chain: destroys itself when the task it awaits has finished.
struct Detached {
  struct promise_type : detail::PromiseBase {
    Detached get_return_object() {
      return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

Detached runDetached(Task<void> task) {
  co_await std::move(task);
}

}  // namespace

void spawn(EventLoop& loop, std::shared_ptr<CancellationState> cancellation, Task<void> task) {
  auto root = runDetached(std::move(task)).handle;
  root.promise().environment = TaskEnvironment{&loop, std::move(cancellation)};
  loop.post([root] { root.resume(); });
}

bool SleepAwaiter::suspend(std::coroutine_handle<> handle) {
  auto& cancellation = environment->cancellation;
  if (cancellation && cancellation->isCancelled()) {
    cancelled = true;
    return false;
  }
  EventLoop& loop = *environment->loop;
  timer = loop.addTimer(loop.clock().now() + duration, [this, handle] {
    if (environment->cancellation) {
      environment->cancellation->clearWaker();
    }
    handle.resume();
  });
  if (cancellation) {
    cancellation->setWaker([this, handle, &loop] {
      loop.cancelTimer(*timer);
      cancelled = true;
      loop.post([handle] { handle.resume(); });
    });
  }
  return true;
}

void SleepAwaiter::await_resume() {
  if (cancelled) {
    throw Cancelled{};
  }
}

}  // namespace qor::runtime
