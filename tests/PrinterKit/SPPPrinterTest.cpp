#include "PrinterKit/SPPPrinter.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <QCoroTimer>
#include <QTimer>

#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"
#include "support/FailureOf.h"
#include "support/RunTask.h"

namespace PrinterKit {
namespace {

using Failure = SPPPrinter::Failure;
using PrinterSimulator::SimulatorTransport;
using PrinterSimulator::TepraProSimulator;
using testing::ElementsAre;
using testing::MatchesRegex;
using TestSupport::failureOf;
using TestSupport::runTask;
using TestSupport::runUntil;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr char kAddress[] = "fc-0f-e7-00-00-01";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A label whose lines all differ from their neighbours, so that a lost or shifted line shows.
RasterLabel label(int lines, int dots = 216) {
  std::vector<std::vector<bool>> rows(static_cast<std::size_t>(lines));
  for (int i = 0; i < lines; ++i) {
    for (int j = 0; j < dots; ++j)
      rows[static_cast<std::size_t>(i)].push_back((i * 7 + j) % 5 == 0);
  }
  return RasterLabel::fromLines(rows, dots);
}

// Runs the event loop for `seconds` (scaled-down durations only).
void runFor(double seconds) {
  const Clock::time_point start = Clock::now();
  QTimer tick;
  tick.start(1);
  runUntil([&] { return secondsSince(start) >= seconds; });
}

// Times scaled down so that whole jobs take milliseconds.
void scaleDown(SPPPrinter& printer) {
  printer.statusTimeout = 0.3;
  printer.pollInterval = 0.05;
  printer.deadlineSlack = 0.4;
  printer.perLabelSlack = 0.05;
  printer.slowestMmPerSecond = 100.0;
  printer.idleClose = 10.0;
}

// Closes the link and lets the idle timer end (it ends on the event loop), so that nothing of a
// test outlives it.
void closeAndSettle(SPPPrinter& printer) {
  printer.close();
  QCoreApplication::sendPostedEvents();
}

// An engine over the printer simulator.
class SPPPrinterTest : public ::testing::Test {
 protected:
  SPPPrinterTest() {
    sim.settings().mmPerSecond = 400.0;
    auto channel = std::make_unique<SimulatorTransport>(sim);
    transport = channel.get();
    printer = SPPPrinter::create(kAddress, "SR-MK1", std::move(channel));
    printer->log = [this](const std::string& line) { lines.push_back(line); };
    scaleDown(*printer);
  }
  ~SPPPrinterTest() override { closeAndSettle(*printer); }

 public:
  PrinterStatus simStatus() const { return PrinterStatus::fromReply(sim.statusReply()).value(); }

  TepraProSimulator sim;
  SimulatorTransport* transport;  // owned by the printer
  std::shared_ptr<SPPPrinter> printer;
  std::vector<std::string> lines;
};

TEST_F(SPPPrinterTest, StatusOpensTheLinkOnceAndKeepsItOpen) {
  EXPECT_EQ(printer->displayName(), "SR-MK1");
  EXPECT_FALSE(printer->isOpen());
  const PrinterStatus ready{PrinterStatus::State::ready, std::nullopt, 18, 0x04, 0x00, 0x00};
  EXPECT_EQ(runTask(printer->status(0.5)), ready);
  EXPECT_EQ(printer->lastStatus(), ready);
  EXPECT_TRUE(printer->isOpen());
  sim.settings().tapeCode = 0x03;
  EXPECT_EQ(runTask(printer->status(0.5))->tapeMm, 12);
  EXPECT_EQ(transport->opens(), 1);
  EXPECT_THAT(sim.errors(), testing::IsEmpty());

  // Without a name the address is shown.
  auto unnamed =
      SPPPrinter::create(kAddress, std::nullopt, std::make_unique<SimulatorTransport>(sim));
  EXPECT_EQ(unnamed->displayName(), kAddress);
}

TEST_F(SPPPrinterTest, StatusFailuresOnAClosedLinkAreNotRetried) {
  const struct {
    const char* what;
    std::function<void(SPPPrinterTest&)> arrange;
    Failure failure;
    int opens;
  } cases[] = {
      {"silent", [](SPPPrinterTest& t) { t.sim.setSilent(true); }, Failure::noReply(), 1},
      {"garbage", [](SPPPrinterTest& t) { t.sim.setGarbage(true); }, Failure::notATepraPro(), 1},
      {"unreachable", [](SPPPrinterTest& t) { t.transport->failOpenWith(Failure::unreachable()); },
       Failure::unreachable(), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SPPPrinterTest& t = *this;
    sim.setSilent(false);
    sim.setGarbage(false);
    transport->failOpenWith(std::nullopt);
    printer->close();
    const int opensBefore = transport->opens();
    c.arrange(t);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(failureOf(printer->status(0.1)), c.failure);
    EXPECT_EQ(transport->opens() - opensBefore, c.opens);
    EXPECT_LT(secondsSince(start), 0.19);  // one timeout at most
  }
}

TEST_F(SPPPrinterTest, AStaleOpenLinkIsReopenedAndAskedOnceMore) {
  ASSERT_TRUE(runTask(printer->status(0.1)));
  sim.setSilent(true);
  EXPECT_EQ(failureOf(printer->status(0.1)), Failure::noReply());
  EXPECT_EQ(transport->opens(), 2);
  EXPECT_TRUE(printer->isOpen());
}

TEST_F(SPPPrinterTest, ChecksThePrinterBeforeSendingAJob) {
  PrinterStatus printing = simStatus();
  printing.state = PrinterStatus::State::printing;
  printing.stateCode = 0x02;
  const struct {
    const char* what;
    TepraProSimulator::Settings settings;
    int tapeMm;
    Failure failure;
  } cases[] = {
      {"12 mm loaded", {.tapeCode = 0x03}, 18, Failure::tapeMismatch(12, 18)},
      {"unknown tape", {.tapeCode = 0x00}, 18, Failure::tapeMismatch(std::nullopt, 18)},
      {"cover open",
       {.problemCode = 0x21},
       18,
       Failure::problem(PrinterStatus::Problem::coverOpen)},
      {"no cassette",
       {.problemCode = 0x06},
       18,
       Failure::problem(PrinterStatus::Problem::noCassette)},
      {"unknown state", {.idleStateCode = 0x03}, 18, Failure::unknownState(3)},
      {"printing", {.idleStateCode = 0x02}, 18, Failure::busy(printing)},
      {"36 mm", {}, 36, Failure::unsupportedTape(36)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sim.settings() = c.settings;
    EXPECT_EQ(failureOf(printer->print({label(20)}, c.tapeMm)), c.failure);
    EXPECT_FALSE(printer->isPrinting());
  }
  EXPECT_EQ(failureOf(printer->print({label(20)}, 36)), Failure::unsupportedTape(36));
  EXPECT_EQ(sim.jobsCompleted(), 0);
  EXPECT_THAT(sim.printedLabels(), testing::IsEmpty());
  EXPECT_EQ(transport->opens(), 1);  // the unsupported tape contacted nothing
  EXPECT_EQ(Failure::tapeMismatch(12, 18).description(), "Loaded tape 12 mm, label 18 mm");
}

TEST_F(SPPPrinterTest, PrintsTheSubmittedLabelsAndReportsProgress) {
  for (const bool reportsChanges : {false, true}) {
    SCOPED_TRACE(reportsChanges ? "reports changes" : "polled");
    sim.settings().reportsChanges = reportsChanges;
    lines.clear();
    const std::size_t printedBefore = sim.printedLabels().size();
    const std::vector<RasterLabel> labels = {label(120), label(7), label(300)};
    ASSERT_TRUE(runTask(printer->print(labels, 18)));
    EXPECT_FALSE(printer->isPrinting());
    const std::vector<RasterLabel> printed(sim.printedLabels().begin() + printedBefore,
                                           sim.printedLabels().end());
    EXPECT_EQ(printed, labels);
    const std::string sent =
        "sent " + std::to_string(TepraPro::job(labels, 216).size()) + " bytes in [0-9]+\\.[0-9]s";
    EXPECT_THAT(lines, ElementsAre(MatchesRegex(sent), MatchesRegex("printing at [0-9]+\\.[0-9]s"),
                                   MatchesRegex("ready at [0-9]+\\.[0-9]s")));
  }
  EXPECT_THAT(sim.errors(), testing::IsEmpty());
  EXPECT_EQ(transport->opens(), 1);
}

TEST_F(SPPPrinterTest, WhileAJobRunsItIsBusyAnswersFromLastStatusAndStaysOpen) {
  sim.settings().mmPerSecond = 50.0;  // 300 lines: about 0.4 s of printing
  printer->idleClose = 0.05;          // shorter than the job: the idle timer must not close it
  bool done = false;
  auto job = [this, &done]() -> QCoro::Task<> {
    std::vector<RasterLabel> labels = {label(300)};
    co_await printer->print(std::move(labels), 18);
    done = true;
  };
  QCoro::Task<> running = job();
  ASSERT_TRUE(runUntil([this] { return sim.isPrinting() && printer->lastStatus(); }));
  EXPECT_TRUE(printer->isPrinting());

  EXPECT_EQ(failureOf(printer->print({label(5)}, 18)), Failure::busy(printer->lastStatus()));
  sim.setSilent(true);  // an answer can only come from lastStatus
  EXPECT_EQ(runTask(printer->status(0.1), std::chrono::milliseconds(50)), printer->lastStatus());
  sim.setSilent(false);
  printer->close();
  EXPECT_TRUE(printer->isOpen());

  ASSERT_TRUE(runTask(std::move(running)));
  EXPECT_TRUE(done);
  EXPECT_EQ(sim.jobsCompleted(), 1);
  EXPECT_EQ(transport->opens(), 1);
  printer->close();
  EXPECT_FALSE(printer->isOpen());
}

TEST_F(SPPPrinterTest, AReadyComposedBeforeThePrinterHadTheJobDoesNotEndIt) {
  // 50 lines (3.5 mm): ready counts from 0.09 s after sending. The job crosses a 400 kbit/s link
  // in about 0.04 s; every reply comes 0.3 s after its request, so the setup's "ready" arrives
  // long after that, while the label prints for 0.7 s.
  sim.settings().linkBitsPerSecond = 400000;
  sim.settings().replyDelay = 0.3;
  sim.settings().mmPerSecond = 5.0;
  printer->statusTimeout = 2.0;
  printer->slowestMmPerSecond = 1.0;
  int completedAtReturn = -1;
  auto job = [this, &completedAtReturn]() -> QCoro::Task<> {
    std::vector<RasterLabel> labels = {label(50)};
    co_await printer->print(std::move(labels), 18);
    completedAtReturn = sim.jobsCompleted();
  };
  ASSERT_TRUE(runTask(job()));
  EXPECT_EQ(completedAtReturn, 1);
  EXPECT_EQ(sim.printedLabels(), std::vector<RasterLabel>{label(50)});
  EXPECT_THAT(lines, ElementsAre(MatchesRegex("sent .*"), MatchesRegex("printing at .*"),
                                 MatchesRegex("ready at .*")));
}

TEST_F(SPPPrinterTest, ACoverOpenedDuringTheJobIsReported) {
  sim.settings().reportsChanges = true;
  sim.settings().mmPerSecond = 50.0;
  sim.openCoverDuringNextJob();
  EXPECT_EQ(failureOf(printer->print({label(200)}, 18)),
            Failure::problem(PrinterStatus::Problem::coverOpen));
  EXPECT_FALSE(printer->isPrinting());
  EXPECT_EQ(sim.jobsCompleted(), 0);
}

TEST_F(SPPPrinterTest, SilenceUntilTheDeadline) {
  // 300 lines print for 0.6 s, longer than the deadline of 0.4 + 0.05 + 0.21 s.
  sim.settings().mmPerSecond = 35.0;
  for (const bool drop : {false, true}) {
    SCOPED_TRACE(drop ? "link dropped" : "link open");
    auto job = printer->print({label(300)}, 18);
    ASSERT_TRUE(runUntil([this] { return sim.isPrinting(); }));
    sim.setSilent(true);
    if (drop) sim.dropLinkAfter(0);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(failureOf(std::move(job)), drop ? Failure::connectionLost() : Failure::unconfirmed());
    if (!drop) {
      EXPECT_GE(secondsSince(start), 0.3);
    }
    EXPECT_FALSE(printer->isPrinting());
    EXPECT_EQ(printer->isOpen(), !drop);
    sim.setSilent(false);
    ASSERT_TRUE(runUntil([this] { return !sim.isPrinting(); }));
  }
}

TEST_F(SPPPrinterTest, TheIdleCloseIsPostponedByUse) {
  printer->idleClose = 0.3;
  ASSERT_TRUE(runTask(printer->status(0.1)));
  runFor(0.2);
  ASSERT_TRUE(runTask(printer->status(0.1)));
  const Clock::time_point used = Clock::now();
  runFor(0.2);  // past the first use's 0.3 s
  EXPECT_TRUE(printer->isOpen());
  ASSERT_TRUE(runUntil([this] { return !printer->isOpen(); }));
  EXPECT_GE(secondsSince(used), 0.3);
  EXPECT_EQ(transport->opens(), 1);
}

// A transport the test scripts: it records what is written and answers through `answer`.
class ScriptedTransport : public PrinterTransport {
 public:
  // Called for each write; a returned reply arrives on the event loop, or, with
  // answersBeforeWriteEnds, before the write has returned (a socket whose completion is reported
  // a turn of the event loop after the printer has already answered).
  std::function<std::optional<Bytes>(const Bytes& written)> answer;
  bool answersBeforeWriteEnds = false;
  std::vector<Bytes> writes;
  int opens = 0;
  // Whether the link is open; shared so that a test still sees it once the transport is gone.
  const std::shared_ptr<bool> up = std::make_shared<bool>(false);

  bool isOpen() const override { return *up; }
  QCoro::Task<void> open() override {
    co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    ++opens;
    *up = true;
  }
  QCoro::Task<void> write(Bytes bytes) override {
    if (!*up) throw SPPPrinterFailure::connectionLost();
    writes.push_back(bytes);
    std::optional<Bytes> reply = answer ? answer(writes.back()) : std::nullopt;
    if (reply && answersBeforeWriteEnds) {
      if (onData) onData(*reply);
      co_await QCoro::sleepFor(std::chrono::milliseconds(1));
    } else if (reply) {
      QTimer::singleShot(0, [this, reply = *reply, channel = opens] {
        if (*up && channel == opens && onData) onData(reply);
      });
    }
    co_return;
  }
  void close() override { *up = false; }
};

Bytes reply(std::uint8_t stateCode) {
  Bytes r(PrinterStatus::replyLength, 0);
  std::copy(PrinterStatus::header.begin(), PrinterStatus::header.end(), r.begin());
  r[14] = stateCode;
  r[16] = 0x04;
  return r;
}

class ScriptedPrinterTest : public ::testing::Test {
 protected:
  ScriptedPrinterTest() {
    auto channel = std::make_unique<ScriptedTransport>();
    transport = channel.get();
    printer = SPPPrinter::create(kAddress, std::nullopt, std::move(channel));
    printer->log = [this](const std::string& line) { lines.push_back(line); };
    scaleDown(*printer);
  }
  ~ScriptedPrinterTest() override { closeAndSettle(*printer); }

  ScriptedTransport* transport;
  std::shared_ptr<SPPPrinter> printer;
  std::vector<std::string> lines;
};

TEST_F(ScriptedPrinterTest, AReplyThatArrivesBeforeTheWriteHasEndedAnswersTheQuery) {
  transport->answersBeforeWriteEnds = true;
  transport->answer = [](const Bytes&) -> std::optional<Bytes> { return reply(0x00); };
  const auto status = runTask(printer->status(0.2));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->state, PrinterStatus::State::ready);
  EXPECT_EQ(transport->writes.size(), 1u);
}

TEST_F(ScriptedPrinterTest, RepliesThatArriveWhileAJobIsBeingWrittenAreNotLost) {
  // The printer answers the job's setup and its closing request before the job's write has ended:
  // the closing request's "ready" ends the (empty) job without a poll.
  printer->pollInterval = 1.0;
  transport->answersBeforeWriteEnds = true;
  transport->answer = [](const Bytes& written) -> std::optional<Bytes> {
    if (written == TepraPro::statusRequest) return reply(0x00);
    Bytes both = reply(0x00);
    const Bytes closing = reply(0x00);
    both.insert(both.end(), closing.begin(), closing.end());
    return both;
  };
  EXPECT_TRUE(runTask(printer->print({}, 18)));
  EXPECT_EQ(transport->writes.size(), 2u);
}

TEST_F(ScriptedPrinterTest, TwoQueriesAtOnceShareTheOpeningAndOneReply) {
  transport->answer = [this](const Bytes&) -> std::optional<Bytes> {
    if (transport->writes.size() == 2) return reply(0x00);
    return std::nullopt;
  };
  auto both = [this]() -> QCoro::Task<int> {
    auto first = printer->status(0.5);
    auto second = printer->status(0.5);
    const PrinterStatus a = co_await first;
    const PrinterStatus b = co_await second;
    co_return a == b ? 2 : 0;
  };
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(runTask(both()), 2);
  EXPECT_LT(secondsSince(start), 0.5);
  EXPECT_EQ(transport->opens, 1);
  EXPECT_THAT(transport->writes, ElementsAre(TepraPro::statusRequest, TepraPro::statusRequest));
}

TEST_F(ScriptedPrinterTest, AStaleLinkIsAskedAgainOnAFreshOne) {
  bool answering = true;
  transport->answer = [&answering](const Bytes&) -> std::optional<Bytes> {
    if (!answering) return std::nullopt;
    return reply(0x00);
  };
  ASSERT_TRUE(runTask(printer->status(0.1)));
  answering = false;
  auto answerAfterReopen = [this](const Bytes&) -> std::optional<Bytes> {
    if (transport->opens == 2) return reply(0x00);
    return std::nullopt;
  };
  transport->answer = answerAfterReopen;
  EXPECT_TRUE(runTask(printer->status(0.1)));
  EXPECT_EQ(transport->opens, 2);
  EXPECT_EQ(transport->writes.size(), 3u);
}

TEST_F(ScriptedPrinterTest, CloseEndsAWaitingQueryWithoutAskingAgain) {
  transport->answer = [this](const Bytes&) -> std::optional<Bytes> {
    if (transport->writes.size() == 1) return reply(0x00);
    return std::nullopt;
  };
  ASSERT_TRUE(runTask(printer->status(0.1)));
  QCoro::Task<PrinterStatus> query = printer->status(1.0);
  ASSERT_EQ(transport->writes.size(), 2u);
  printer->close();
  EXPECT_EQ(failureOf(std::move(query)), Failure::noReply());
  EXPECT_FALSE(printer->isOpen());
  EXPECT_EQ(transport->opens, 1);
  EXPECT_EQ(transport->writes.size(), 2u);
}

TEST(ScriptedPrinterLifetimeTest, ADroppedPrinterLeavesNoLinkOpen) {
  for (const bool closedDuringAQuery : {false, true}) {
    SCOPED_TRACE(closedDuringAQuery ? "closed during a query, then dropped" : "dropped while open");
    auto channel = std::make_unique<ScriptedTransport>();
    ScriptedTransport& link = *channel;
    const std::shared_ptr<bool> up = link.up;
    link.answer = [&link](const Bytes&) -> std::optional<Bytes> {
      if (link.writes.size() == 1) return reply(0x00);
      return std::nullopt;
    };
    std::shared_ptr<SPPPrinter> engine =
        SPPPrinter::create(kAddress, std::nullopt, std::move(channel));
    ASSERT_TRUE(runTask(engine->status(0.1)));
    ASSERT_TRUE(*up);
    std::optional<QCoro::Task<PrinterStatus>> query;
    if (closedDuringAQuery) {
      query = engine->status(1.0);
      engine->close();
    }
    engine.reset();
    // The query keeps the printer alive until it ends; the printer and its transport are gone
    // after that.
    if (query) {
      EXPECT_EQ(failureOf(std::move(*query)), Failure::noReply());
    }
    QCoreApplication::sendPostedEvents();
    EXPECT_FALSE(*up);
  }
}

TEST_F(ScriptedPrinterTest, AShortJobSeenOnlyReadyEndsOnceReadyAfterHasPassed) {
  transport->answer = [](const Bytes&) { return std::optional(reply(0x00)); };
  // 360 lines = 25.4 mm: readyAfter = 25.4 / 40 = 0.635 s after sending.
  const Clock::time_point start = Clock::now();
  ASSERT_TRUE(runTask(printer->print({label(360)}, 18)));
  EXPECT_GE(secondsSince(start), 0.635);
  EXPECT_LT(secondsSince(start), 0.635 + 0.3);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[1], MatchesRegex("ready at 0\\.[6-9]s"));
  // Status request, job, then a request after each early ready.
  EXPECT_GE(transport->writes.size(), 3u);
  EXPECT_EQ(transport->writes[1], TepraPro::job(std::vector<RasterLabel>{label(360)}, 216));
}

TEST_F(ScriptedPrinterTest, ASilentJobIsPolledEveryPollInterval) {
  int requests = 0;
  transport->answer = [&requests](const Bytes& written) -> std::optional<Bytes> {
    if (written != TepraPro::statusRequest) return std::nullopt;
    return ++requests == 1 ? std::optional(reply(0x00)) : std::nullopt;
  };
  const Clock::time_point start = Clock::now();
  EXPECT_EQ(failureOf(printer->print({label(36)}, 18)), Failure::unconfirmed());
  const double waited = secondsSince(start);
  // After the job: one request per 0.05 s of silence until the deadline (0.4 + 0.05 + 0.025 s).
  const int polls = requests - 1;
  EXPECT_GE(polls, 7);
  EXPECT_LE(polls, static_cast<int>(waited / 0.05) + 1);
}

}  // namespace
}  // namespace PrinterKit
