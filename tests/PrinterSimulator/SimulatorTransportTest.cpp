#include "PrinterSimulator/SimulatorTransport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SampleLabels.h"
#include "support/FailureOf.h"
#include "support/RunTask.h"

namespace PrinterSimulator {
namespace {

using Bytes = std::vector<std::uint8_t>;
using PrinterKit::SPPPrinterFailure;
using PrinterKit::TepraPro;
using TestSupport::failureOf;
using TestSupport::runTask;
using TestSupport::runUntil;

constexpr double kInstant = 1e9;

// Writes and notes the outcome in `events`: "written" or the failure's text.
QCoro::Task<> writeNoting(SimulatorTransport& transport, Bytes bytes,
                          std::vector<std::string>& events) {
  try {
    co_await transport.write(std::move(bytes));
    events.push_back("written");
  } catch (const SPPPrinterFailure& failure) {
    events.push_back(failure.description());
  }
}

TEST(SimulatorTransportTest, RepliesArriveAfterTheWriteHasCompleted) {
  for (double rate : {0.0, 64000.0}) {
    TepraProSimulator printer({.linkBitsPerSecond = rate});
    SimulatorTransport transport(printer);
    std::vector<std::string> events;
    transport.onData = [&](Bytes bytes) { events.push_back(std::to_string(bytes.size())); };
    runTask(transport.open());
    runTask(writeNoting(transport, TepraPro::statusRequest, events));
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"written", "92"})) << "rate " << rate;
  }
}

TEST(SimulatorTransportTest, WritesCompleteInOrderOnceTheLinkHasCarriedThem) {
  // 80 000 bit/s carry 10 bytes per millisecond.
  TepraProSimulator printer({.mmPerSecond = kInstant, .linkBitsPerSecond = 80000});
  SimulatorTransport transport(printer);
  runTask(transport.open());
  const Bytes job = TepraPro::job(sampleLabels(216, {40}), 216);
  ASSERT_EQ(job.size(), 1504u);

  QElapsedTimer clock;
  clock.start();
  std::vector<std::pair<std::size_t, qint64>> done;  // bytes written, milliseconds
  auto timedWrite = [&](Bytes bytes) -> QCoro::Task<> {
    const std::size_t size = bytes.size();
    co_await transport.write(std::move(bytes));
    done.emplace_back(size, clock.elapsed());
  };
  QCoro::Task<> first = timedWrite(job);
  QCoro::Task<> second = timedWrite(TepraPro::statusRequest);
  EXPECT_GT(printer.bytesOnLink(), 1500u);
  EXPECT_FALSE(printer.isPrinting());
  runTask(std::move(first));
  runTask(std::move(second));
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].first, 1504u);
  EXPECT_GE(done[0].second, 150);
  EXPECT_EQ(done[1].first, 8u);
  EXPECT_GE(done[1].second, 151);
  EXPECT_EQ(printer.bytesOnLink(), 0u);
  ASSERT_TRUE(runUntil([&] { return printer.jobsCompleted() == 1; }));
}

TEST(SimulatorTransportTest, ADroppedLinkFailsTheWriteThenReportsTheClosureOnce) {
  for (double rate : {0.0, 800000.0}) {
    SCOPED_TRACE(rate);
    TepraProSimulator printer({.mmPerSecond = kInstant, .linkBitsPerSecond = rate});
    SimulatorTransport transport(printer);
    std::vector<std::string> events;
    transport.onClosed = [&] { events.push_back("closed"); };
    runTask(transport.open());
    printer.dropLinkAfter(100);
    runTask(writeNoting(transport, TepraPro::job(sampleLabels(216, {20}), 216), events));
    ASSERT_TRUE(runUntil([&] { return events.size() == 2; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(events, (std::vector<std::string>{SPPPrinterFailure::connectionLost().description(),
                                                "closed"}));
    EXPECT_FALSE(transport.isOpen());
    EXPECT_EQ(printer.errors().size(), 1u);
    EXPECT_TRUE(printer.printedLabels().empty());

    EXPECT_EQ(failureOf(transport.write(TepraPro::statusRequest)),
              SPPPrinterFailure::connectionLost());
    EXPECT_EQ(failureOf(transport.write({})), std::nullopt);
    runTask(transport.open());
    EXPECT_TRUE(transport.isOpen());
    EXPECT_EQ(transport.opens(), 2);
  }
}

TEST(SimulatorTransportTest, CloseFailsPendingWritesAndEndsTheChannelSilently) {
  TepraProSimulator printer({.linkBitsPerSecond = 8000});  // one byte per millisecond
  SimulatorTransport transport(printer);
  std::vector<std::string> events;
  int replies = 0;
  transport.onClosed = [&] { events.push_back("closed"); };
  transport.onData = [&](const Bytes&) { ++replies; };
  runTask(transport.open());
  QCoro::Task<> pending = writeNoting(transport, TepraPro::statusRequest, events);
  transport.close();
  runTask(std::move(pending));
  EXPECT_EQ(events, std::vector<std::string>{SPPPrinterFailure::connectionLost().description()});
  EXPECT_EQ(printer.bytesOnLink(), 0u);

  // A reply to the old channel never reaches the new one.
  printer.settings().linkBitsPerSecond = 0;
  runTask(transport.open());
  runTask(transport.write(TepraPro::statusRequest));
  transport.close();
  runTask(transport.open());
  QCoreApplication::processEvents();
  EXPECT_EQ(replies, 0);
  runTask(transport.write(TepraPro::statusRequest));
  ASSERT_TRUE(runUntil([&] { return replies == 1; }));
  EXPECT_EQ(events.size(), 1u);  // no onClosed after close()
}

TEST(SimulatorTransportTest, OpenFailsWithTheGivenFailure) {
  TepraProSimulator printer;
  SimulatorTransport transport(printer);
  transport.failOpenWith(SPPPrinterFailure::unreachable());
  EXPECT_EQ(failureOf(transport.open()), SPPPrinterFailure::unreachable());
  EXPECT_FALSE(transport.isOpen());
  EXPECT_EQ(transport.opens(), 0);
  transport.failOpenWith(std::nullopt);
  EXPECT_EQ(failureOf(transport.open()), std::nullopt);
  EXPECT_EQ(failureOf(transport.open()), std::nullopt);  // already open: nothing happens
  EXPECT_TRUE(transport.isOpen());
  EXPECT_EQ(transport.opens(), 1);
}

}  // namespace
}  // namespace PrinterSimulator
