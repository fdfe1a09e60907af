#include "PrinterKit/BluetoothTransport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoroTimer>

#include "support/FailureOf.h"
#include "support/RunTask.h"
#include "support/ScriptedBluetoothStack.h"

namespace PrinterKit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Device = BluetoothStack::Device;
using TestSupport::failureOf;
using TestSupport::runTask;
using TestSupport::runUntil;
using TestSupport::ScriptedBluetoothStack;
using TestSupport::ScriptedChannel;

constexpr const char* kPrinter = "FC:0F:E7:00:00:01";

// Lets the event loop run for a while, so that anything queued has happened.
void settle(int ms = 20) { runTask(QCoro::sleepFor(std::chrono::milliseconds(ms))); }

class BluetoothTransportTest : public ::testing::Test {
 protected:
  BluetoothTransportTest() {
    stack.devices.push_back(Device{"/dev/1", kPrinter, "SR-MK1", 0x000680});
    context.lookupTimeout = 0.05;
    context.connectTimeout = 0.05;
    context.writeTimeout = 0.05;
  }

  std::unique_ptr<BluetoothTransport> transport(const std::string& address = kPrinter) {
    auto made = std::make_unique<BluetoothTransport>(address, context);
    made->onClosed = [this] { ++closures; };
    made->onData = [this](Bytes bytes) { received.push_back(std::move(bytes)); };
    return made;
  }

  ScriptedBluetoothStack stack;
  BluetoothTransport::Context context{stack};
  int closures = 0;
  std::vector<Bytes> received;
};

TEST_F(BluetoothTransportTest, OpensOnceAndAnOpenTransportAsksNothing) {
  auto t = transport();
  EXPECT_FALSE(t->isOpen());
  EXPECT_EQ(failureOf(t->open()), std::nullopt);
  EXPECT_TRUE(t->isOpen());
  EXPECT_EQ(failureOf(t->open()), std::nullopt);
  EXPECT_EQ(stack.lookups().size(), 1u);
  EXPECT_EQ(stack.connects, 1);
}

TEST_F(BluetoothTransportTest, AnEmptyWriteReturnsEvenWhenClosed) {
  auto t = transport();
  EXPECT_EQ(failureOf(t->write({})), std::nullopt);
  EXPECT_EQ(stack.connects, 0);
}

TEST_F(BluetoothTransportTest, OpenFailures) {
  struct Case {
    const char* name;
    std::string address;
    std::function<BluetoothStack::Connection(const Device&)> connection;
    bool holdConnection;
    SPPPrinterFailure expected;
  };
  const std::vector<Case> cases = {
      {"no such device: the address as given", "aa-bb-cc-dd-ee-ff", nullptr, false,
       SPPPrinterFailure::notPaired("aa-bb-cc-dd-ee-ff")},
      {"no longer paired: the address as given", "fc-0f-e7-00-00-01",
       [](const Device&) { return SPPPrinterFailure::notPaired("FC:0F:E7:00:00:01"); }, false,
       SPPPrinterFailure::notPaired("fc-0f-e7-00-00-01")},
      {"the stack's failure unchanged", kPrinter,
       [](const Device&) { return SPPPrinterFailure::noSerialPort(); }, false,
       SPPPrinterFailure::noSerialPort()},
      {"a channel that is not there", kPrinter,
       [](const Device&) { return std::shared_ptr<BluetoothChannel>(); }, false,
       SPPPrinterFailure::openFailed(0)},
      {"no answer within the limit", kPrinter, nullptr, true, SPPPrinterFailure::unreachable()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    stack.connection = c.connection;
    stack.holdConnections = c.holdConnection;
    auto t = transport(c.address);
    EXPECT_EQ(failureOf(t->open()), c.expected);
    EXPECT_FALSE(t->isOpen());
  }
}

TEST_F(BluetoothTransportTest, AChannelThatArrivesAfterTheLimitIsClosed) {
  stack.holdConnections = true;
  auto t = transport();
  EXPECT_EQ(failureOf(t->open()), SPPPrinterFailure::unreachable());
  ASSERT_EQ(stack.heldConnections.size(), 1u);
  stack.heldConnections.front()();
  ASSERT_EQ(stack.channels.size(), 1u);
  EXPECT_EQ(stack.channels.front()->closeCalls, 1);
  EXPECT_FALSE(t->isOpen());
}

TEST_F(BluetoothTransportTest, ASlowLookupFailsButItsLateAnswerFillsTheCache) {
  stack.gateLookups();
  auto t = transport();
  EXPECT_EQ(failureOf(t->open()), SPPPrinterFailure::bluetoothNotReady());
  stack.releaseLookups();
  ASSERT_TRUE(runUntil([this] { return context.known(kPrinter).has_value(); }));
  EXPECT_EQ(failureOf(t->open()), std::nullopt);
  EXPECT_EQ(stack.lookups().size(), 1u);
}

TEST_F(BluetoothTransportTest, AFailedLookupIsBluetoothNotReady) {
  stack.failLookups(true);
  auto t = transport();
  EXPECT_EQ(failureOf(t->open()), SPPPrinterFailure::bluetoothNotReady());
}

TEST_F(BluetoothTransportTest, BothWritingsOfAnAddressShareOneCacheEntry) {
  auto first = transport("fc:0f:e7:00:00:01");
  auto second = transport("FC-0F-E7-00-00-01");
  EXPECT_EQ(failureOf(first->open()), std::nullopt);
  EXPECT_EQ(failureOf(second->open()), std::nullopt);
  EXPECT_EQ(stack.lookups(), std::vector<std::string>{"fc:0f:e7:00:00:01"});
}

TEST_F(BluetoothTransportTest, WritesGoOutInChunksOfTheMtuOneAtATime) {
  struct Case {
    std::size_t bytes;
    std::size_t mtu;
    std::vector<std::size_t> chunks;
  };
  const std::vector<Case> cases = {
      {1000, 127, {127, 127, 127, 127, 127, 127, 127, 111}},
      {3, 0, {1, 1, 1}},
      {10, 65535, {10}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mtu);
    auto t = transport();
    ASSERT_EQ(failureOf(t->open()), std::nullopt);
    const std::shared_ptr<ScriptedChannel> channel = stack.channels.back();
    channel->mtuValue = c.mtu;
    channel->autoComplete = false;
    Bytes bytes(c.bytes);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
    bool done = false;
    auto writing = [&]() -> QCoro::Task<> {
      co_await t->write(bytes);
      done = true;
    };
    auto task = writing();
    std::size_t maxInFlight = 0;
    while (!done) {
      ASSERT_TRUE(runUntil([&] { return done || channel->inFlight() > 0; }));
      maxInFlight = std::max(maxInFlight, channel->inFlight());
      channel->completeNext();
      ASSERT_TRUE(runUntil([&] { return done || channel->inFlight() == 0; }));
    }
    std::vector<std::size_t> sizes;
    Bytes joined;
    for (const Bytes& chunk : channel->chunks) {
      sizes.push_back(chunk.size());
      joined.insert(joined.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(sizes, c.chunks);
    EXPECT_EQ(joined, bytes);
    EXPECT_EQ(maxInFlight, 1u);
    t->close();
  }
}

TEST_F(BluetoothTransportTest, AChunkThatIsNeverConfirmedFailsWhileTheChannelStaysOpen) {
  auto t = transport();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> channel = stack.channels.back();
  channel->autoComplete = false;
  EXPECT_EQ(failureOf(t->write(Bytes(10))), SPPPrinterFailure::writeFailed(kIOReturnTimeout));
  EXPECT_TRUE(t->isOpen());
  // The late completion changes nothing.
  channel->completeNext();
  settle();
  EXPECT_TRUE(t->isOpen());
  EXPECT_EQ(closures, 0);
}

TEST_F(BluetoothTransportTest, AChannelThatClosesDuringAWriteLosesTheConnectionAndReportsOnce) {
  auto t = transport();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> channel = stack.channels.back();
  channel->autoComplete = false;
  context.writeTimeout = 5.0;
  auto hangUpSoon = [&]() -> QCoro::Task<> {
    co_await QCoro::sleepFor(std::chrono::milliseconds(5));
    channel->hangUp();
  };
  auto hanging = hangUpSoon();
  EXPECT_EQ(failureOf(t->write(Bytes(1000))), SPPPrinterFailure::connectionLost());
  settle();
  EXPECT_EQ(closures, 1);
  EXPECT_FALSE(t->isOpen());
  EXPECT_EQ(failureOf(t->write(Bytes(1))), SPPPrinterFailure::connectionLost());
}

TEST_F(BluetoothTransportTest, CloseEndsTheLinkWithoutAClosureReport) {
  auto t = transport();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> channel = stack.channels.back();
  t->close();
  EXPECT_FALSE(t->isOpen());
  settle();
  EXPECT_EQ(channel->closeCalls, 1);
  EXPECT_EQ(channel->closureReports, 1);
  EXPECT_EQ(closures, 0);
  // Opened again: the device comes from the cache.
  EXPECT_EQ(failureOf(t->open()), std::nullopt);
  EXPECT_EQ(stack.lookups().size(), 1u);
}

TEST_F(BluetoothTransportTest, DataOfAnEarlierChannelIsDropped) {
  auto t = transport();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> old = stack.channels.back();
  t->close();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> current = stack.channels.back();
  old->deliver({1, 2, 3});
  current->deliver({4, 5});
  ASSERT_TRUE(runUntil([this] { return !received.empty(); }));
  settle();
  EXPECT_EQ(received, std::vector<Bytes>{Bytes({4, 5})});
}

TEST_F(BluetoothTransportTest, DroppingAnOpenTransportEndsItsLink) {
  auto t = transport();
  ASSERT_EQ(failureOf(t->open()), std::nullopt);
  const std::shared_ptr<ScriptedChannel> channel = stack.channels.back();
  t.reset();
  settle();
  EXPECT_EQ(channel->closeCalls, 1);
  EXPECT_EQ(closures, 0);
}

TEST_F(BluetoothTransportTest, PairedPrintersKeepImagingPrintersInTheStacksOrder) {
  stack.devices = {
      Device{"/a", "00:00:00:00:00:0A", "Keyboard", 0x000540},
      Device{"/b", "00:00:00:00:00:0B", std::nullopt, 0x040680},
      Device{"/c", std::nullopt, "No address", 0x000680},
      Device{"/d", "00:00:00:00:00:0D", "Scanner", 0x000640},
      Device{"/e", "00:00:00:00:00:0E", "SR-MK1", 0x0006C0},
      Device{"/f", "00:00:00:00:00:0F", "No class", 0},
  };
  const auto paired = runTask(BluetoothTransport::pairedPrinters(context));
  ASSERT_TRUE(paired);
  const std::vector<BluetoothTransport::Paired> expected = {
      {"00:00:00:00:00:0B", "00:00:00:00:00:0B"},
      {"SR-MK1", "00:00:00:00:00:0E"},
  };
  EXPECT_EQ(*paired, expected);
  // Listed devices are known: opening one asks for no lookup.
  auto t = transport("00-00-00-00-00-0e");
  EXPECT_EQ(failureOf(t->open()), std::nullopt);
  EXPECT_TRUE(stack.lookups().empty());
}

}  // namespace
}  // namespace PrinterKit
