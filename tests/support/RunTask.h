#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

// Running coroutines to completion in tests, under a watchdog: a test that would hang fails
// instead, with a message. REQUIRES: a QCoreApplication exists (tests/support/QtTestMain.cpp).
namespace TestSupport {

inline constexpr std::chrono::milliseconds defaultTimeout{5000};

// What runTask yields: the task's value, or for a task without one whether it finished; empty
// (false) when the watchdog fired.
template <class T>
using TaskResult = std::conditional_t<std::is_void_v<T>, bool, std::optional<T>>;

namespace detail {

template <class T>
struct TaskRun {
  TaskResult<T> result{};
  std::exception_ptr error;
  bool finished = false;
  QEventLoop* loop = nullptr;  // null once runTask has returned
};

// Shares the outcome with runTask, which may have given up and returned by the time the task ends.
template <class T>
QCoro::Task<> finishInto(QCoro::Task<T> task, std::shared_ptr<TaskRun<T>> run) {
  try {
    if constexpr (std::is_void_v<T>) {
      co_await task;
      run->result = true;
    } else {
      run->result.emplace(co_await task);
    }
  } catch (...) {
    run->error = std::current_exception();
  }
  run->finished = true;
  if (run->loop != nullptr) run->loop->quit();
}

}  // namespace detail

// Runs a local event loop until `task` has finished and yields its value; an exception of the
// task is thrown again here. When `timeout` passes first the test fails (ADD_FAILURE) and the
// result is empty; the task is left where it stands.
template <class T>
TaskResult<T> runTask(QCoro::Task<T> task, std::chrono::milliseconds timeout = defaultTimeout) {
  auto run = std::make_shared<detail::TaskRun<T>>();
  QEventLoop loop;
  run->loop = &loop;
  detail::finishInto(std::move(task), run);
  if (!run->finished) {
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, &loop, &QEventLoop::quit);
    watchdog.start(timeout);
    loop.exec();
  }
  run->loop = nullptr;
  if (!run->finished) {
    ADD_FAILURE() << "the task did not finish within " << timeout.count() << " ms";
    return {};
  }
  if (run->error) std::rethrow_exception(run->error);
  return std::move(run->result);
}

// Handles events until `done()` holds; checks it after every event. When `timeout` passes first
// the test fails (ADD_FAILURE) and the result is false.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::milliseconds timeout = defaultTimeout) {
  bool timedOut = false;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [&timedOut] { timedOut = true; });
  watchdog.start(timeout);
  QEventLoop loop;
  while (!done()) {
    if (timedOut) {
      ADD_FAILURE() << "the condition did not hold within " << timeout.count() << " ms";
      return false;
    }
    loop.processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

}  // namespace TestSupport
