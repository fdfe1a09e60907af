#pragma once

#include <chrono>
#include <cmath>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include <QCoroTask>
#include <QTimer>

#include "Base/Require.h"

namespace PrinterKit {

namespace detail {

// Resumes `c` from the current thread's event loop, never from inside the caller: whoever
// delivers a value (a transport callback, a timer, the body of Once::wait) finishes its own work
// before the waiting coroutine runs again.
inline void resumeLater(std::coroutine_handle<> c) {
  QTimer::singleShot(0, [c] { c.resume(); });
}

}  // namespace detail

// A one-shot wake-up for one suspended coroutine: the first resume() delivers its value, every
// later one does nothing. Once::wait suspends a caller until a value or a timeout arrives.
//
// The waiting coroutine is always resumed through the event loop (see detail::resumeLater), so
// resume() may be called from anywhere on the main thread, including from inside the body of
// wait(), before the caller has even finished suspending.
//
// Main thread only; there are no locks. Shared by reference: whoever may deliver the value (a
// table of waiters, the timer of wait()) holds a std::shared_ptr to it, and a Once outlives the
// coroutine it woke without harm.
template <class T>
class Once {
 public:
  // What the body of wait() is given: the Once to register where the value will come from.
  using Body = std::function<void(const std::shared_ptr<Once>&)>;

  // Wraps the handle of a suspended coroutine and the place where its value is to be stored.
  // REQUIRES: `c` stays suspended, and `slot` valid, until resume() has been called.
  Once(std::coroutine_handle<> c, std::optional<T>* slot) : c_(c), slot_(slot) {}
  Once(const Once&) = delete;
  Once& operator=(const Once&) = delete;

  // The first call stores `value` and schedules the waiting coroutine to continue with it; every
  // later call does nothing.
  void resume(T value) {
    if (!c_) return;
    *slot_ = std::move(value);
    slot_ = nullptr;
    detail::resumeLater(std::exchange(c_, nullptr));
  }

  // True until the first resume().
  bool waiting() const { return static_cast<bool>(c_); }

  // Suspends the caller until the Once that `body` is given is resumed, or until `timeout`
  // seconds have passed, and yields the first value delivered (`timedOut` for the timeout).
  // `body` runs at once, before wait() returns its task; it usually stores the Once where a reply
  // will find it, and may resume it straight away. The timer is never cancelled: when the Once
  // has been resumed earlier, the timer fires into it later and is ignored.
  // REQUIRES: timeout is finite and >= 0; body is non-empty; called on a thread with an event
  // loop (the main thread).
  static QCoro::Task<T> wait(double timeout, T timedOut, Body body) {
    KELM_REQUIRE(std::isfinite(timeout) && timeout >= 0);
    KELM_REQUIRE(static_cast<bool>(body));
    // Named, not a temporary of the co_await expression: g++ 12 moves such temporaries bitwise.
    Awaiter awaiter{timeout, std::move(timedOut), std::move(body), std::nullopt};
    co_return co_await awaiter;
  }

 private:
  struct Awaiter {
    double timeout;
    T timedOut;
    Body body;
    std::optional<T> result;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> c) {
      auto once = std::make_shared<Once>(c, &result);
      body(once);
      startTimer(timeout, std::move(once), std::move(timedOut));
    }
    T await_resume() { return std::move(*result); }
  };

  // Calls once->resume(timedOut) after `timeout` seconds: the whole nanoseconds of timeout,
  // rounded up to the timer's milliseconds so that it never fires early.
  static void startTimer(double timeout, std::shared_ptr<Once> once, T timedOut) {
    const double maxNs = static_cast<double>(std::numeric_limits<std::int64_t>::max() / 2);
    const std::chrono::nanoseconds ns(static_cast<std::int64_t>(std::min(timeout * 1e9, maxNs)));
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(ns).count();
    const int msec = static_cast<int>(std::min<std::int64_t>(ms, std::numeric_limits<int>::max()));
    QTimer::singleShot(msec, Qt::PreciseTimer,
                       [once = std::move(once), timedOut = std::move(timedOut)]() mutable {
                         once->resume(std::move(timedOut));
                       });
  }

  std::coroutine_handle<> c_;
  std::optional<T>* slot_;
};

}  // namespace PrinterKit
