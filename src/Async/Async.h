#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <concepts>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <QCoroFuture>
#include <QCoroTask>
#include <QObject>
#include <QtConcurrent/QtConcurrentRun>

// The application's asynchronous runtime on the Qt event loop.
//
// An asynchronous operation is a QCoro::Task<T>. Such a task runs eagerly: calling the coroutine
// runs its body at once, up to its first wait, and an exception it throws reaches only whoever
// awaits it. The two rules below follow from that.
//
// One more rule, for g++ 12: inside a coroutine, a lambda with captures must not be written in
// the same expression as a co_await; g++ 12 destroys its captures twice. Name it first:
//   auto job = [labels = std::move(labels)] { ... };
//   auto result = co_await Async::runDetached(std::move(job));
namespace Async {

// The interval a QTimer takes for a wait of `seconds`: rounded up to whole milliseconds so that
// it never ends early, and held within what QTimer accepts (0 to INT_MAX milliseconds).
inline std::chrono::milliseconds timerInterval(double seconds) {
  const double ms = std::ceil(seconds * 1000.0);
  return std::chrono::milliseconds(static_cast<int>(std::clamp(ms, 0.0, double{INT_MAX})));
}

// Starts `work` as a task on `context`'s thread the next time that thread's event loop runs, so
// the caller always finishes first (a constructor that starts work never waits for it). Nobody
// awaits the task: an exception that escapes it is written to the log and dropped. The task is
// not started at all when `context` is destroyed before then. `work` itself is kept until the
// task ends, so the captures of a coroutine lambda stay valid across its waits. May be called from
// any thread.
// REQUIRES: context != nullptr, work is non-empty, everything `work` uses outlives the task.
void start(QObject* context, std::function<QCoro::Task<>()> work);

namespace detail {

// What runDetached's worker hands back to the waiting thread.
template <class R>
struct Outcome {
  std::optional<R> value;
  std::exception_ptr error;
};
template <>
struct Outcome<void> {
  std::exception_ptr error;
};

}  // namespace detail

// Runs `work` on a thread of Qt's global thread pool and waits for it without blocking the
// calling thread, which goes on handling its events. The task resumes on the calling thread with
// work's result, moved (never copied) out of the worker; an exception that work throws is thrown
// again there. Work that can fail in an expected way should return that as a value.
// `work` is moved to the worker and destroyed there; it must not touch state of the calling
// thread.
// REQUIRES: the calling thread runs a Qt event loop (the main thread, or a QThread).
template <class F>
requires std::invocable<F&> QCoro::Task<std::invoke_result_t<F&>> runDetached(F work) {
  using R = std::invoke_result_t<F&>;
  auto outcome = std::make_shared<detail::Outcome<R>>();
  auto job = [work = std::move(work), outcome]() mutable {
    try {
      if constexpr (std::is_void_v<R>) {
        work();
      } else {
        outcome->value.emplace(work());
      }
    } catch (...) {
      outcome->error = std::current_exception();
    }
  };
  const QFuture<void> done = QtConcurrent::run(std::move(job));
  co_await done;
  if (outcome->error) std::rethrow_exception(outcome->error);
  if constexpr (!std::is_void_v<R>) co_return std::move(*outcome->value);
}

}  // namespace Async
