#include "PrinterSimulator/TepraProSimulator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <QElapsedTimer>

#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SampleLabels.h"
#include "support/RunTask.h"

namespace PrinterSimulator {
namespace {

using Bytes = std::vector<std::uint8_t>;
using PrinterKit::PrinterStatus;
using PrinterKit::RasterLabel;
using PrinterKit::TepraPro;
using TestSupport::runUntil;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr double kInstant = 1e9;  // millimetres per second: any job prints within a millisecond

// A simulator whose replies are collected in `replies`.
struct Bench {
  explicit Bench(TepraProSimulator::Settings settings = {.mmPerSecond = kInstant})
      : printer(settings) {
    printer.send = [this](Bytes bytes) { replies.push_back(std::move(bytes)); };
  }
  std::vector<std::uint8_t> stateCodes() const {
    std::vector<std::uint8_t> codes;
    for (const Bytes& r : replies) codes.push_back(r.at(14));
    return codes;
  }
  bool idle() const { return !printer.isPrinting(); }

  TepraProSimulator printer;
  std::vector<Bytes> replies;
};

TEST(TepraProSimulatorTest, AnswersAStatusRequestWithTheSettings) {
  const struct {
    std::uint8_t tapeCode, problemCode, idleStateCode;
  } cases[] = {{0x04, 0x00, 0x00}, {0x05, 0x00, 0x05}, {0x02, 0x06, 0x00}, {0x01, 0x21, 0x03}};
  for (const auto& c : cases) {
    Bench bench(
        {.tapeCode = c.tapeCode, .problemCode = c.problemCode, .idleStateCode = c.idleStateCode});
    bench.printer.receive(TepraPro::statusRequest);
    ASSERT_EQ(bench.replies.size(), 1u);
    const Bytes& reply = bench.replies[0];
    ASSERT_EQ(reply.size(), 92u);
    EXPECT_TRUE(
        std::equal(PrinterStatus::header.begin(), PrinterStatus::header.end(), reply.begin()));
    EXPECT_EQ(reply[14], c.idleStateCode);
    EXPECT_EQ(reply[15], c.problemCode);
    EXPECT_EQ(reply[16], c.tapeCode);
    // One frame, nothing in it that looks like a second one.
    const auto split = PrinterStatus::split(reply);
    ASSERT_EQ(split.replies.size(), 1u);
    EXPECT_EQ(split.replies[0], *PrinterStatus::fromReply(reply));
    EXPECT_TRUE(split.rest.empty());
  }
}

TEST(TepraProSimulatorTest, PrintsTheLabelsOfAJobOnEveryTape) {
  const struct {
    std::uint8_t tapeCode;
    int dots;
  } cases[] = {{0x02, 108}, {0x03, 144}, {0x04, 216}, {0x05, 256}};
  for (const auto& c : cases) {
    Bench bench({.tapeCode = c.tapeCode, .mmPerSecond = kInstant});
    const auto labels = sampleLabels(c.dots, {5, 1, 40});
    const Bytes job = TepraPro::job(labels, c.dots);
    // Fed in uneven pieces, as a link delivers it.
    for (std::size_t at = 0; at < job.size(); at += 97) {
      bench.printer.receive(std::span(job).subspan(at, std::min<std::size_t>(97, job.size() - at)));
    }
    EXPECT_EQ(bench.stateCodes(), (std::vector<std::uint8_t>{0x00, 0x02}));
    ASSERT_TRUE(runUntil([&] { return bench.idle(); }));
    EXPECT_EQ(bench.printer.printedLabels(), labels) << c.dots << " dots";
    EXPECT_EQ(bench.printer.jobsCompleted(), 1);
    EXPECT_EQ(bench.printer.errors(), std::vector<std::string>{});
  }
}

TEST(TepraProSimulatorTest, PrintsNoPartOfAMalformedJob) {
  const auto bad = sampleLabels(216, {3, 2});
  const Bytes badJob = TepraPro::job(bad, 216);
  const std::size_t page = 71;                     // the first page's length command
  const std::size_t pageEnd = page + 18 + 3 * 35;  // the first page's 0C
  const struct {
    const char* name;
    std::function<Bytes()> bytes;
    bool closeChannel;
  } cases[] = {
      {"bad checksum",
       [&] {
         Bytes b = badJob;
         b[page + 8] ^= 0x01;
         return b;
       },
       false},
      {"wrong length byte",
       [&] {
         Bytes b = badJob;
         b[page + 2] = 0x08;
         return b;
       },
       false},
      {"closing byte missing",
       [&] {
         Bytes b = badJob;
         b[page + 9] = 0x7C;
         return b;
       },
       false},
      {"dots not a print width", [&] { return TepraPro::job(sampleLabels(200, {3}), 200); }, false},
      {"dots of another tape", [&] { return TepraPro::job(sampleLabels(144, {3}), 144); }, false},
      {"page end missing",
       [&] {
         Bytes b = badJob;
         b.erase(b.begin() + pageEnd);
         return b;
       },
       false},
      {"fewer lines than announced",
       [&] {
         Bytes b = badJob;
         b[page + 4] += 1;
         b[page + 8] += 1;
         return b;
       },
       false},
      {"setup differs",
       [&] {
         Bytes b = badJob;
         b[54] = 0x06;
         b[55] = 0x4A;
         return b;
       },
       false},
      {"raw zeros missing",
       [&] {
         Bytes b = badJob;
         b[14] = 0x01;
         return b;
       },
       false},
      // The engine asks for the status before its next job; that request completes the cut line.
      {"truncated, then a status request",
       [&] { return Bytes(badJob.begin(), badJob.end() - 20) + TepraPro::statusRequest; }, false},
      {"truncated, then the channel closes",
       [&] { return Bytes(badJob.begin(), badJob.end() - 20); }, true},
  };
  const auto good = sampleLabels(216, {4});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench;
    bench.printer.receive(c.bytes());
    if (c.closeChannel) bench.printer.channelClosed();
    EXPECT_EQ(bench.printer.errors().size(), 1u);
    // The next job is read as if nothing had happened.
    bench.printer.receive(TepraPro::job(good, 216));
    ASSERT_TRUE(runUntil([&] { return bench.printer.jobsCompleted() == 1; }));
    EXPECT_EQ(bench.printer.printedLabels(), good);
    EXPECT_EQ(bench.printer.errors().size(), 1u);
  }
}

TEST(TepraProSimulatorTest, PrintsForTheLabelLengthAtTheSetSpeed) {
  // 360 lines are 25.4 mm: 100 ms at 254 mm/s.
  Bench bench({.mmPerSecond = 254.0});
  const auto labels = sampleLabels(216, {200, 160});
  QElapsedTimer clock;
  clock.start();
  bench.printer.receive(TepraPro::job(labels, 216));
  EXPECT_TRUE(bench.printer.isPrinting());
  bench.printer.receive(TepraPro::statusRequest);
  EXPECT_EQ(bench.replies.back()[14], 0x02);
  EXPECT_TRUE(bench.printer.printedLabels().empty());
  ASSERT_TRUE(runUntil([&] { return bench.idle(); }));
  EXPECT_GE(clock.elapsed(), 99);
  EXPECT_EQ(bench.printer.printedLabels(), labels);
  bench.printer.receive(TepraPro::statusRequest);
  EXPECT_EQ(bench.replies.back()[14], 0x00);
}

TEST(TepraProSimulatorTest, ReportsChangesOnlyWhenAsked) {
  for (bool reports : {false, true}) {
    Bench bench({.mmPerSecond = kInstant, .reportsChanges = reports});
    bench.printer.receive(TepraPro::job(sampleLabels(216, {3}), 216));
    ASSERT_TRUE(runUntil([&] { return bench.idle(); }));
    // Ready for the setup's request, printing for the end's, then ready by itself.
    const std::vector<std::uint8_t> expected = reports ? std::vector<std::uint8_t>{0x00, 0x02, 0x00}
                                                       : std::vector<std::uint8_t>{0x00, 0x02};
    EXPECT_EQ(bench.stateCodes(), expected) << "reportsChanges " << reports;
  }
}

TEST(TepraProSimulatorTest, DelayedRepliesDescribeTheirRequestAndLeaveInOrder) {
  // The 200-line job prints for 55 ms; its two replies leave 100 ms after their requests.
  Bench bench({.mmPerSecond = 254.0, .replyDelay = 0.1});
  QElapsedTimer clock;
  clock.start();
  bench.printer.receive(TepraPro::job(sampleLabels(216, {200}), 216));
  EXPECT_TRUE(bench.replies.empty());
  int completedAtReplies = -1;
  ASSERT_TRUE(runUntil([&] {
    completedAtReplies = bench.printer.jobsCompleted();
    return bench.replies.size() == 2;
  }));
  EXPECT_GE(clock.elapsed(), 100);
  // Ready for the setup's request, printing for the end's, though both leave after the print.
  EXPECT_EQ(bench.stateCodes(), (std::vector<std::uint8_t>{0x00, 0x02}));
  EXPECT_EQ(completedAtReplies, 1);

  // A reply still waiting when the channel goes is lost; the next channel's replies come.
  bench.printer.receive(TepraPro::statusRequest);
  bench.printer.channelClosed();
  bench.printer.settings().idleStateCode = 0x05;
  bench.printer.receive(TepraPro::statusRequest);
  ASSERT_TRUE(runUntil([&] { return bench.replies.size() == 3; }));
  EXPECT_EQ(bench.replies.back()[14], 0x05);
}

TEST(TepraProSimulatorTest, SilentAndGarbageGiveNoReply) {
  Bench silent;
  silent.printer.setSilent(true);
  silent.printer.receive(TepraPro::job(sampleLabels(216, {2}), 216));
  ASSERT_TRUE(runUntil([&] { return silent.printer.jobsCompleted() == 1; }));
  EXPECT_TRUE(silent.replies.empty());

  Bench garbage;
  garbage.printer.setGarbage(true);
  garbage.printer.receive(TepraPro::statusRequest);
  ASSERT_EQ(garbage.replies.size(), 1u);
  EXPECT_FALSE(PrinterStatus::fromReply(garbage.replies[0]));
  EXPECT_TRUE(PrinterStatus::split(garbage.replies[0]).replies.empty());
}

TEST(TepraProSimulatorTest, CoverOpenedDuringAJobLeavesItUnfinished) {
  Bench bench({.mmPerSecond = 2540.0, .reportsChanges = true});  // 10 ms for 360 lines
  bench.printer.openCoverDuringNextJob();
  bench.printer.receive(TepraPro::job(sampleLabels(216, {360}), 216));
  ASSERT_TRUE(runUntil([&] { return bench.idle(); }));
  EXPECT_EQ(bench.printer.jobsCompleted(), 0);
  EXPECT_TRUE(bench.printer.printedLabels().empty());
  const auto status = PrinterStatus::fromReply(bench.replies.back());
  ASSERT_TRUE(status);
  EXPECT_EQ(status->problem, PrinterStatus::Problem::coverOpen);
  EXPECT_EQ(status->state, PrinterStatus::State::ready);
  // The cover stays open: the next job is refused until it is closed.
  bench.printer.receive(TepraPro::job(sampleLabels(216, {2}), 216));
  EXPECT_FALSE(bench.printer.isPrinting());
  EXPECT_EQ(bench.printer.errors().size(), 1u);
  bench.printer.settings().problemCode = 0x00;
  bench.printer.receive(TepraPro::job(sampleLabels(216, {2}), 216));
  ASSERT_TRUE(runUntil([&] { return bench.printer.jobsCompleted() == 1; }));
}

TEST(TepraProSimulatorTest, DropsTheLinkAfterTheGivenBytes) {
  Bench bench;
  int drops = 0;
  bench.printer.onLinkDropped = [&] { ++drops; };
  bench.printer.dropLinkAfter(8);
  bench.printer.receive(TepraPro::statusRequest + TepraPro::statusRequest);
  EXPECT_EQ(drops, 1);
  EXPECT_EQ(bench.replies.size(), 1u);  // the second request was lost with the link
  EXPECT_EQ(bench.printer.bytesOnLink(), 0u);

  // A job cut off by the drop is not printed; the next one is.
  bench.printer.dropLinkAfter(300);
  bench.printer.receive(TepraPro::job(sampleLabels(216, {20}), 216));
  EXPECT_EQ(drops, 2);
  EXPECT_EQ(bench.printer.errors().size(), 1u);
  bench.printer.receive(TepraPro::job(sampleLabels(216, {3}), 216));
  ASSERT_TRUE(runUntil([&] { return bench.printer.jobsCompleted() == 1; }));
  EXPECT_EQ(bench.printer.printedLabels(), sampleLabels(216, {3}));
  EXPECT_EQ(drops, 2);
}

TEST(TepraProSimulatorTest, LabelImageDecodesToThePrintedRaster) {
  const struct {
    std::uint8_t tapeCode;
    int dots;
  } cases[] = {{0x02, 108}, {0x05, 256}};
  for (const auto& c : cases) {
    Bench bench({.tapeCode = c.tapeCode, .mmPerSecond = kInstant});
    bench.printer.receive(TepraPro::job(sampleLabels(c.dots, {1, 37}), c.dots));
    ASSERT_TRUE(runUntil([&] { return bench.idle(); }));
    for (std::size_t i = 0; i < 2; ++i) {
      const PrinterKit::LabelBitmap image(bench.printer.labelPng(i));
      const RasterLabel& label = bench.printer.printedLabels()[i];
      EXPECT_EQ(image.width(), static_cast<int>(label.lineCount()));
      EXPECT_EQ(image.height(), c.dots);
      EXPECT_EQ(image.columns(c.dots), label);
      // Dot 0 of the first line is ink and sits in the bottom row.
      EXPECT_TRUE(image.pixel(0, c.dots - 1));
    }
  }
}

}  // namespace
}  // namespace PrinterSimulator
