#include "PrinterKit/Once.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <QCoroTask>
#include <QTimer>

#include "support/RunTask.h"

namespace PrinterKit {
namespace {

using TestSupport::runTask;
using TestSupport::runUntil;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(OnceTest, TimesOutWithTheGivenValueAfterTheTimeout) {
  const Clock::time_point start = Clock::now();
  auto ignore = [](const std::shared_ptr<Once<int>>&) {};
  EXPECT_EQ(runTask(Once<int>::wait(0.05, -1, ignore)), -1);
  EXPECT_GE(secondsSince(start), 0.05);
}

TEST(OnceTest, FirstResumeWinsAndLaterOnesAreIgnored) {
  std::shared_ptr<Once<std::string>> kept;
  auto keep = [&kept](const std::shared_ptr<Once<std::string>>& once) { kept = once; };
  QCoro::Task<std::string> task = Once<std::string>::wait(10.0, "timeout", keep);
  ASSERT_NE(kept, nullptr);
  EXPECT_TRUE(kept->waiting());
  kept->resume("first");
  EXPECT_FALSE(kept->waiting());
  kept->resume("second");
  EXPECT_EQ(runTask(std::move(task), std::chrono::milliseconds(1000)), "first");
  kept->resume("third");  // after the caller has continued: still nothing happens
}

TEST(OnceTest, ResumeFromABodyReturnsAtOnceAndTheTimerFiresHarmlesslyLater) {
  std::weak_ptr<Once<int>> watched;
  auto resumeNow = [&watched](const std::shared_ptr<Once<int>>& once) {
    watched = once;
    once->resume(7);
  };
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(runTask(Once<int>::wait(0.2, -1, resumeNow)), 7);
  EXPECT_LT(secondsSince(start), 0.2);
  // The timer still holds the Once until it fires into it; then the Once is released.
  EXPECT_FALSE(watched.expired());
  EXPECT_TRUE(runUntil([&watched] { return watched.expired(); }));
}

TEST(OnceTest, ResumeNeverRunsTheCallerInsideTheResumingCode) {
  std::shared_ptr<Once<int>> kept;
  std::optional<int> got;
  auto keep = [&kept](const std::shared_ptr<Once<int>>& once) { kept = once; };
  auto waiter = [&got, keep]() -> QCoro::Task<> { got = co_await Once<int>::wait(5.0, -1, keep); };
  QCoro::Task<> task = waiter();
  ASSERT_NE(kept, nullptr);
  kept->resume(3);
  EXPECT_FALSE(got.has_value());
  EXPECT_TRUE(runUntil([&got] { return got.has_value(); }));
  EXPECT_EQ(got, 3);
}

TEST(OnceTest, AValueThatArrivesBeforeTheTimeoutWins) {
  auto later = [](const std::shared_ptr<Once<int>>& once) {
    QTimer::singleShot(10, [once] { once->resume(5); });
  };
  EXPECT_EQ(runTask(Once<int>::wait(2.0, -1, later), std::chrono::milliseconds(1500)), 5);
}

}  // namespace
}  // namespace PrinterKit
