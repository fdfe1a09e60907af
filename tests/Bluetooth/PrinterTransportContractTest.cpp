// One suite of the guarantees every PrinterTransport keeps, run over each implementation: the
// in-process simulator's channel, the Bluetooth transport over a scripted stack, and the
// Bluetooth transport over BlueZ (a fake bluetoothd on a private bus, with the simulator program
// at the other end of a real socket).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoroTimer>
#include <QDBusConnection>

#include "PrinterKit/BluetoothTransport.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"
#include "PrinterKit/bluez/BlueZStack.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"
#include "support/FailureOf.h"
#include "support/FakeBluez.h"
#include "support/RunTask.h"
#include "support/ScriptedBluetoothStack.h"

namespace PrinterKit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using TestSupport::failureOf;
using TestSupport::runTask;
using TestSupport::runUntil;

constexpr const char* kAddress = "FC:0F:E7:00:00:01";

// One implementation under test: makes the transport and ends the link from the far side.
class Harness {
 public:
  virtual ~Harness() = default;
  virtual PrinterTransport& transport() = 0;
  // The far side ends the link, as a printer that is switched off.
  virtual void dropLink() = 0;
};

class SimulatorHarness final : public Harness {
 public:
  PrinterTransport& transport() override { return transport_; }
  void dropLink() override {
    printer_.dropLinkAfter(0);
    // The drop happens as the next byte crosses; that write fails.
    failureOf(transport_.write({0x00}));
  }

 private:
  PrinterSimulator::TepraProSimulator printer_;
  PrinterSimulator::SimulatorTransport transport_{printer_};
};

class ScriptedStackHarness final : public Harness {
 public:
  ScriptedStackHarness() {
    stack_.devices.push_back({"/dev/1", kAddress, "SR-MK1", 0x000680});
    stack_.connection = [this](const BluetoothStack::Device&) -> BluetoothStack::Connection {
      const auto channel = stack_.newChannel();
      channel->attach(printer_);
      return channel;
    };
  }
  PrinterTransport& transport() override { return transport_; }
  void dropLink() override { stack_.channels.back()->hangUp(); }

 private:
  PrinterSimulator::TepraProSimulator printer_;
  TestSupport::ScriptedBluetoothStack stack_;
  BluetoothTransport::Context context_{stack_};
  BluetoothTransport transport_{kAddress, context_};
};

class BlueZHarness final : public Harness {
 public:
  BlueZHarness() {
    const QString socket = fake_.startPrinter(QStringLiteral("printer"));
    fake_.addDevice(QString::fromLatin1(kAddress),
                    {{QStringLiteral("Name"), QStringLiteral("SR-MK1")},
                     {QStringLiteral("Class"), 0x000680u},
                     {QStringLiteral("Printer"), socket}});
  }
  ~BlueZHarness() override {
    transport_.reset();
    context_.reset();
    stack_.reset();
    QDBusConnection::disconnectFromBus(name_);
  }
  PrinterTransport& transport() override { return *transport_; }
  void dropLink() override { fake_.hangUp(QString::fromLatin1(kAddress)); }

 private:
  TestSupport::FakeBluez fake_;
  const QString name_ = QStringLiteral("contract-under-test");
  std::unique_ptr<BlueZ::BlueZStack> stack_ =
      std::make_unique<BlueZ::BlueZStack>(QDBusConnection::connectToBus(fake_.busAddress(), name_));
  std::unique_ptr<BluetoothTransport::Context> context_ =
      std::make_unique<BluetoothTransport::Context>(*stack_);
  std::unique_ptr<BluetoothTransport> transport_ =
      std::make_unique<BluetoothTransport>(kAddress, *context_);
};

enum class Kind { simulator, scriptedStack, blueZ };

std::string nameOf(const ::testing::TestParamInfo<Kind>& info) {
  switch (info.param) {
    case Kind::simulator:
      return "Simulator";
    case Kind::scriptedStack:
      return "ScriptedStack";
    case Kind::blueZ:
      return "BlueZ";
  }
  return "Unknown";
}

class PrinterTransportContract : public ::testing::TestWithParam<Kind> {
 protected:
  PrinterTransportContract() {
    switch (GetParam()) {
      case Kind::simulator:
        harness_ = std::make_unique<SimulatorHarness>();
        break;
      case Kind::scriptedStack:
        harness_ = std::make_unique<ScriptedStackHarness>();
        break;
      case Kind::blueZ:
        harness_ = std::make_unique<BlueZHarness>();
        break;
    }
    transport().onData = [this](Bytes bytes) {
      received.insert(received.end(), bytes.begin(), bytes.end());
    };
    transport().onClosed = [this] { ++closures; };
  }
  ~PrinterTransportContract() override {
    transport().close();
    runTask(QCoro::sleepFor(std::chrono::milliseconds(10)));
  }

  PrinterTransport& transport() { return harness_->transport(); }

  // Asks for the status and waits for one whole reply.
  std::optional<PrinterStatus> askStatus() {
    received.clear();
    if (failureOf(transport().write(TepraPro::statusRequest))) return std::nullopt;
    std::optional<PrinterStatus> status;
    runUntil([&] {
      const PrinterStatus::SplitResult split = PrinterStatus::split(received);
      if (!split.replies.empty()) status = split.replies.front();
      return status.has_value();
    });
    return status;
  }

  std::unique_ptr<Harness> harness_;
  Bytes received;
  int closures = 0;
};

TEST_P(PrinterTransportContract, OpensAndCarriesAStatusRequestAndItsReply) {
  EXPECT_FALSE(transport().isOpen());
  ASSERT_EQ(failureOf(transport().open()), std::nullopt);
  EXPECT_TRUE(transport().isOpen());
  // Open again: at once, still open.
  ASSERT_EQ(failureOf(transport().open()), std::nullopt);
  const std::optional<PrinterStatus> status = askStatus();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->state, PrinterStatus::State::ready);
  EXPECT_EQ(status->tapeMm, 18);
}

TEST_P(PrinterTransportContract, AnEmptyWriteReturnsEvenWhenClosed) {
  EXPECT_EQ(failureOf(transport().write({})), std::nullopt);
}

TEST_P(PrinterTransportContract, CloseIsSilentAndTheChannelOpensAgain) {
  ASSERT_EQ(failureOf(transport().open()), std::nullopt);
  transport().close();
  EXPECT_FALSE(transport().isOpen());
  EXPECT_EQ(failureOf(transport().write(TepraPro::statusRequest)),
            SPPPrinterFailure::connectionLost());
  runTask(QCoro::sleepFor(std::chrono::milliseconds(50)));
  EXPECT_EQ(closures, 0);
  ASSERT_EQ(failureOf(transport().open()), std::nullopt);
  EXPECT_TRUE(askStatus().has_value());
}

TEST_P(PrinterTransportContract, ALinkDroppedByTheFarSideIsReportedOnce) {
  ASSERT_EQ(failureOf(transport().open()), std::nullopt);
  harness_->dropLink();
  ASSERT_TRUE(runUntil([this] { return closures > 0; }));
  EXPECT_FALSE(transport().isOpen());
  EXPECT_EQ(failureOf(transport().write(TepraPro::statusRequest)),
            SPPPrinterFailure::connectionLost());
  runTask(QCoro::sleepFor(std::chrono::milliseconds(50)));
  EXPECT_EQ(closures, 1);
}

INSTANTIATE_TEST_SUITE_P(EveryTransport, PrinterTransportContract,
                         ::testing::Values(Kind::simulator, Kind::scriptedStack, Kind::blueZ),
                         nameOf);

}  // namespace
}  // namespace PrinterKit
