#include "PrinterKit/bluez/BlueZStack.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoroTimer>
#include <QDBusConnection>
#include <QElapsedTimer>

#include "PrinterKit/BluetoothTransport.h"
#include "PrinterKit/TepraPro.h"
#include "support/FailureOf.h"
#include "support/FakeBluez.h"
#include "support/RunTask.h"

namespace PrinterKit::BlueZ {
namespace {

using Bytes = std::vector<std::uint8_t>;
using TestSupport::failureOf;
using TestSupport::runTask;
using TestSupport::runUntil;

constexpr const char* kPrinter = "FC:0F:E7:00:00:01";

void settle(int ms = 50) { runTask(QCoro::sleepFor(std::chrono::milliseconds(ms))); }

TEST(BlueZErrorTest, EveryErrorMapsToItsFailure) {
  struct Case {
    const char* name;
    const char* message;
    SPPPrinterFailure expected;
  };
  const Case cases[] = {
      {"org.bluez.Error.Failed", "br-connection-page-timeout", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "br-connection-timeout", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "br-connection-aborted-by-remote",
       SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "br-connection-canceled", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "Host is down", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "Connection timed out", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "Connection reset by peer", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.Failed", "Operation canceled", SPPPrinterFailure::unreachable()},
      {"org.bluez.Error.NotAvailable", "br-connection-profile-unavailable",
       SPPPrinterFailure::noSerialPort()},
      {"org.bluez.Error.Failed", "br-connection-not-supported", SPPPrinterFailure::noSerialPort()},
      {"org.bluez.Error.Failed", "Protocol not available", SPPPrinterFailure::noSerialPort()},
      {"org.bluez.Error.NotAvailable", "Operation currently not available",
       SPPPrinterFailure::noSerialPort()},
      {"org.bluez.Error.NotReady", "br-connection-adapter-not-powered",
       SPPPrinterFailure::bluetoothNotReady()},
      {"org.bluez.Error.NotReady", "Resource Not Ready", SPPPrinterFailure::bluetoothNotReady()},
      {"org.bluez.Error.Failed", "File descriptor in bad state",
       SPPPrinterFailure::bluetoothNotReady()},
      {"org.freedesktop.DBus.Error.ServiceUnknown", "The name is not activatable",
       SPPPrinterFailure::bluetoothNotReady()},
      {"org.freedesktop.DBus.Error.NoReply", "Did not receive a reply",
       SPPPrinterFailure::bluetoothNotReady()},
      {"org.freedesktop.DBus.Error.UnknownObject", "No such object",
       SPPPrinterFailure::notPaired("")},
      {"org.bluez.Error.Failed", "Connection refused", SPPPrinterFailure::openFailed(ECONNREFUSED)},
      {"org.bluez.Error.Failed", "br-connection-refused",
       SPPPrinterFailure::openFailed(ECONNREFUSED)},
      {"org.bluez.Error.Failed", "br-connection-busy", SPPPrinterFailure::openFailed(EBUSY)},
      {"org.bluez.Error.InProgress", "In Progress", SPPPrinterFailure::openFailed(EINPROGRESS)},
      {"org.bluez.Error.AlreadyExists", "UUID already registered",
       SPPPrinterFailure::openFailed(EEXIST)},
      {"org.bluez.Error.Failed", "something new", SPPPrinterFailure::openFailed(EIO)},
      {"org.example.Error.Odd", "", SPPPrinterFailure::openFailed(EIO)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BlueZStack::failure(QString::fromLatin1(c.name), QString::fromLatin1(c.message)),
              c.expected)
        << c.name << " " << c.message;
  }
}

// The Bluetooth transport over BlueZ: a fake bluetoothd on a private bus, with tepra-simulator
// printers at the other end of real sockets. Time limits are cut down.
class BlueZTransportTest : public ::testing::Test {
 protected:
  BlueZTransportTest() {
    printerSocket = fake.startPrinter(QStringLiteral("printer"), {"--link-rate", "400000"});
    fake.addDevice(QString::fromLatin1(kPrinter),
                   {{QStringLiteral("Name"), QStringLiteral("SR-MK1")},
                    {QStringLiteral("Class"), 0x000680u},
                    {QStringLiteral("Printer"), printerSocket}});
    context->connectTimeout = 2.0;
    context->lookupTimeout = 2.0;
    context->writeTimeout = 5.0;
  }
  ~BlueZTransportTest() override {
    transports.clear();
    settle(10);
    context.reset();
    stack.reset();
    QDBusConnection::disconnectFromBus(connectionName);
  }

  BluetoothTransport& transport(const std::string& address = kPrinter) {
    transports.push_back(std::make_unique<BluetoothTransport>(address, *context));
    BluetoothTransport& t = *transports.back();
    t.onData = [this](Bytes bytes) { received.insert(received.end(), bytes.begin(), bytes.end()); };
    t.onClosed = [this] { ++closures; };
    return t;
  }

  // A status request on `t` and its whole reply.
  bool answers(BluetoothTransport& t) {
    received.clear();
    if (failureOf(t.write(TepraPro::statusRequest))) return false;
    return runUntil([this] { return !PrinterStatus::split(received).replies.empty(); });
  }

  TestSupport::FakeBluez fake;
  QString printerSocket;
  const QString connectionName = QStringLiteral("bluez-under-test");
  std::unique_ptr<BlueZStack> stack = std::make_unique<BlueZStack>(
      QDBusConnection::connectToBus(fake.busAddress(), connectionName));
  std::unique_ptr<BluetoothTransport::Context> context =
      std::make_unique<BluetoothTransport::Context>(*stack);
  std::vector<std::unique_ptr<BluetoothTransport>> transports;
  Bytes received;
  int closures = 0;
};

TEST_F(BlueZTransportTest, ConnectsRegistersOnceAndTalksToThePrinter) {
  fake.addDevice(QStringLiteral("FC:0F:E7:00:00:02"),
                 {{QStringLiteral("Name"), QStringLiteral("Second")},
                  {QStringLiteral("Class"), 0x000680u},
                  {QStringLiteral("Printer"), fake.startPrinter(QStringLiteral("second"))}});
  BluetoothTransport& first = transport("fc-0f-e7-00-00-01");
  BluetoothTransport& second = transport("FC:0F:E7:00:00:02");
  ASSERT_EQ(failureOf(first.open()), std::nullopt);
  ASSERT_EQ(failureOf(second.open()), std::nullopt);
  EXPECT_TRUE(answers(first));
  EXPECT_TRUE(answers(second));
  const auto registrations = fake.registrations();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_EQ(registrations.front().uuid, QString::fromLatin1(BlueZStack::serialPortUUID));
  EXPECT_EQ(registrations.front().path, QString::fromLatin1(BlueZStack::profilePath));
}

TEST_F(BlueZTransportTest, OpenFailuresFromBluetoothd) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    std::string address;
    SPPPrinterFailure expected;
  };
  const QString printer = QString::fromLatin1(kPrinter);
  const std::vector<Case> cases = {
      {"an unknown device: the address as given", [] {}, "aa-bb-cc-dd-ee-ff",
       SPPPrinterFailure::notPaired("aa-bb-cc-dd-ee-ff")},
      {"a device no longer paired",
       [&] {
         fake.setDevice(printer, {{QStringLiteral("Paired"), false}});
       },
       "fc-0f-e7-00-00-01", SPPPrinterFailure::notPaired("fc-0f-e7-00-00-01")},
      {"no serial port service",
       [&] {
         fake.setDevice(printer, {{QStringLiteral("UUIDs"), QStringList()}});
       },
       kPrinter, SPPPrinterFailure::noSerialPort()},
      {"the adapter is off", [&] { fake.setAdapterPowered(false); }, kPrinter,
       SPPPrinterFailure::bluetoothNotReady()},
      {"a page timeout",
       [&] {
         fake.injectError(printer, QStringLiteral("ConnectProfile"),
                          QStringLiteral("org.bluez.Error.Failed"),
                          QStringLiteral("br-connection-page-timeout"));
       },
       kPrinter, SPPPrinterFailure::unreachable()},
      {"an older BlueZ's text",
       [&] {
         fake.injectError(printer, QStringLiteral("ConnectProfile"),
                          QStringLiteral("org.bluez.Error.Failed"), QStringLiteral("Host is down"));
       },
       kPrinter, SPPPrinterFailure::unreachable()},
      {"a refused connection",
       [&] {
         fake.injectError(printer, QStringLiteral("ConnectProfile"),
                          QStringLiteral("org.bluez.Error.Failed"),
                          QStringLiteral("Connection refused"));
       },
       kPrinter, SPPPrinterFailure::openFailed(ECONNREFUSED)},
      {"no answer in time",
       [&] {
         fake.setDevice(printer, {{QStringLiteral("ConnectDelay"), -1.0}});
       },
       kPrinter, SPPPrinterFailure::unreachable()},
  };
  context->connectTimeout = 0.3;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake.setAdapterPowered(true);
    fake.clearErrors();
    fake.setDevice(printer, {{QStringLiteral("Paired"), true},
                             {QStringLiteral("UUIDs"),
                              QStringList{QString::fromLatin1(BlueZStack::serialPortUUID)}},
                             {QStringLiteral("ConnectDelay"), 0.0}});
    c.arrange();
    BluetoothTransport& t = transport(c.address);
    EXPECT_EQ(failureOf(t.open()), c.expected);
    EXPECT_FALSE(t.isOpen());
  }
}

TEST_F(BlueZTransportTest, WithBluetoothdGoneTheLookupFails) {
  fake.stop();
  EXPECT_EQ(failureOf(transport().open()), SPPPrinterFailure::bluetoothNotReady());
}

TEST_F(BlueZTransportTest, CloseShutsTheLinkDownSoTheNextOpenGetsANewSocket) {
  BluetoothTransport& t = transport();
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  t.close();
  const QString printer = QString::fromLatin1(kPrinter);
  // bluetoothd sees the link go only when the socket is shut down, not merely closed.
  ASSERT_TRUE(runUntil([&] {
    return !fake.bus()
                .call(QDBusMessage::createMethodCall(
                          QStringLiteral("org.bluez"), TestSupport::FakeBluez::devicePath(printer),
                          QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"))
                      << QStringLiteral("org.bluez.Device1") << QStringLiteral("Connected"))
                .arguments()
                .value(0)
                .value<QDBusVariant>()
                .variant()
                .toBool();
  }));
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  EXPECT_TRUE(answers(t));
  EXPECT_EQ(fake.connections(printer), 2u);
  EXPECT_EQ(closures, 0);
}

TEST_F(BlueZTransportTest, AWriteIsDoneOnlyOnceThePrinterHasTakenTheBytes) {
  BluetoothTransport& t = transport();
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  // 20,000 bytes at 400 kbit/s take 0.4 s to cross the link; the socket alone would take them
  // at once.
  QElapsedTimer clock;
  clock.start();
  ASSERT_EQ(failureOf(t.write(Bytes(20'000, 0x00))), std::nullopt);
  EXPECT_GE(clock.elapsed(), 350);
}

TEST_F(BlueZTransportTest, ALinkLostDuringAWriteIsConnectionLostAndReportedOnce) {
  fake.setDevice(QString::fromLatin1(kPrinter),
                 {{QStringLiteral("Printer"),
                   fake.startPrinter(QStringLiteral("slow"), {"--link-rate", "40000"})}});
  BluetoothTransport& t = transport();
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  auto hangUpSoon = [&]() -> QCoro::Task<> {
    co_await QCoro::sleepFor(std::chrono::milliseconds(100));
    fake.hangUp(QString::fromLatin1(kPrinter));
  };
  auto hanging = hangUpSoon();
  EXPECT_EQ(failureOf(t.write(Bytes(20'000, 0x00))), SPPPrinterFailure::connectionLost());
  ASSERT_TRUE(runUntil([this] { return closures > 0; }));
  settle();
  EXPECT_EQ(closures, 1);
  EXPECT_FALSE(t.isOpen());
}

TEST_F(BlueZTransportTest, AfterBluetoothdRestartsTheProfileIsRegisteredAgain) {
  BluetoothTransport& t = transport();
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  t.close();
  ASSERT_TRUE(fake.restart());
  ASSERT_TRUE(runUntil([this] { return fake.registrations().size() == 1; }));
  ASSERT_EQ(failureOf(t.open()), std::nullopt);
  EXPECT_TRUE(answers(t));
}

TEST_F(BlueZTransportTest, PairedPrintersComeFromTheObjectManager) {
  fake.addDevice(QStringLiteral("00:11:22:33:44:55"),
                 {{QStringLiteral("Class"), 0x040680u}});  // a printer without a name
  fake.addDevice(QStringLiteral("00:11:22:33:44:66"),
                 {{QStringLiteral("Name"), QStringLiteral("Headphones")},
                  {QStringLiteral("Class"), 0x240404u}});
  fake.addDevice(QStringLiteral("00:11:22:33:44:77"),
                 {{QStringLiteral("Name"), QStringLiteral("Not paired")},
                  {QStringLiteral("Class"), 0x000680u},
                  {QStringLiteral("Paired"), false}});
  const auto paired = runTask(BluetoothTransport::pairedPrinters(*context));
  ASSERT_TRUE(paired);
  const std::vector<BluetoothTransport::Paired> expected = {
      {"00:11:22:33:44:55", "00:11:22:33:44:55"},
      {"SR-MK1", kPrinter},
  };
  EXPECT_EQ(*paired, expected);
}

}  // namespace
}  // namespace PrinterKit::BlueZ
