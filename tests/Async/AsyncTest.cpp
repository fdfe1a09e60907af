#include "Async/Async.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>
#include <QtGlobal>

#include "support/RunTask.h"

namespace Async {
namespace {

using TestSupport::runTask;
using TestSupport::runUntil;

// Collects the warnings written while it lives.
class WarningLog {
 public:
  WarningLog() {
    lines_ = &lines;
    previous_ = qInstallMessageHandler(&WarningLog::handle);
  }
  ~WarningLog() {
    qInstallMessageHandler(previous_);
    lines_ = nullptr;
  }

  std::vector<std::string> lines;

 private:
  static void handle(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtWarningMsg && lines_ != nullptr) lines_->push_back(message.toStdString());
  }
  static inline std::vector<std::string>* lines_ = nullptr;
  QtMessageHandler previous_;
};

TEST(AsyncTest, StartRunsTheTaskAfterTheCallerFinishes) {
  QObject context;
  std::vector<std::string> events;
  start(&context, [&events]() -> QCoro::Task<> {
    events.push_back("task");
    co_return;
  });
  events.push_back("caller");
  ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events, (std::vector<std::string>{"caller", "task"}));
}

TEST(AsyncTest, StartLogsWhatTheTaskThrows) {
  WarningLog log;
  QObject context;
  bool after = false;
  start(&context, []() -> QCoro::Task<> {
    throw std::runtime_error("cover open");
    co_return;
  });
  start(&context, [&after]() -> QCoro::Task<> {
    after = true;
    co_return;
  });
  ASSERT_TRUE(runUntil([&] { return after; }));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"task failed: cover open"}));
}

TEST(AsyncTest, StartDoesNothingOnceTheContextIsGone) {
  QObject live;
  auto doomed = std::make_unique<QObject>();
  bool ranDoomed = false;
  bool ranLive = false;
  start(doomed.get(), [&ranDoomed]() -> QCoro::Task<> {
    ranDoomed = true;
    co_return;
  });
  doomed.reset();
  start(&live, [&ranLive]() -> QCoro::Task<> {
    ranLive = true;
    co_return;
  });
  ASSERT_TRUE(runUntil([&] { return ranLive; }));
  EXPECT_FALSE(ranDoomed);
}

TEST(AsyncTest, RunDetachedWorksOffTheCallingThreadWhileItHandlesEvents) {
  // The work waits until the calling thread has handled a timer event: it finishes only if the
  // calling thread is free while the work runs.
  std::promise<void> timerFired;
  QTimer::singleShot(0, [&timerFired] { timerFired.set_value(); });
  std::thread::id workThread;
  auto task = [&]() -> QCoro::Task<std::unique_ptr<int>> {
    auto work = [&workThread, fired = timerFired.get_future()]() mutable {
      fired.wait();
      workThread = std::this_thread::get_id();
      return std::make_unique<int>(42);  // moved back, never copied
    };
    co_return co_await runDetached(std::move(work));
  };
  std::optional<std::unique_ptr<int>> result = runTask(task());
  ASSERT_TRUE(result && *result);
  EXPECT_EQ(**result, 42);
  EXPECT_NE(workThread, std::this_thread::get_id());
}

TEST(AsyncTest, RunDetachedThrowsWhatTheWorkThrewOnTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id catcher;
  auto task = [&]() -> QCoro::Task<std::string> {
    try {
      auto work = [] { throw std::out_of_range("no tape"); };
      co_await runDetached(work);
    } catch (const std::out_of_range& e) {
      catcher = std::this_thread::get_id();
      co_return e.what();
    }
    co_return "nothing thrown";
  };
  EXPECT_EQ(runTask(task()), "no tape");
  EXPECT_EQ(catcher, caller);
}

}  // namespace
}  // namespace Async
