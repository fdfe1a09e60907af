#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <QCoreApplication>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>
#include <QUrl>

#include "BridgeKit/BrowserTrust.h"
#include "BridgeKit/CertificateFixture.h"
#include "BridgeKit/LocalCertificate.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/LoginItem.h"
#include "KelmVododIdizor/PrinterDirectory.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {

// The model's private printer operations, for the tests.
struct BridgeModelTestAccess {
  static void setChoice(BridgeModel& model, std::optional<std::string> address, bool autoChosen) {
    model.setChoice(std::move(address), autoChosen);
  }
  static std::shared_ptr<PrinterKit::SPPPrinter> currentPrinter(BridgeModel& model) {
    return model.currentPrinter();
  }
};

namespace testing {

using BridgeKit::LocalCertificate;

// The browsers' trust as a set of certificates, so that a test can refuse the trust as a user
// would and check what was trusted.
class FakeBrowserTrust : public BridgeKit::BrowserTrust {
 public:
  std::int32_t trust(std::span<const std::uint8_t> der, std::string_view) override {
    if (refuse) return -128;
    trusted.insert(Bytes(der.begin(), der.end()));
    return 0;
  }
  bool isTrusted(std::span<const std::uint8_t> der, std::string_view) override {
    return trusted.contains(Bytes(der.begin(), der.end()));
  }
  void remove(std::span<const std::string_view>) override { trusted.clear(); }

  using Bytes = std::vector<std::uint8_t>;
  std::set<Bytes> trusted;
  bool refuse = false;
};

class FakeLoginItem : public LoginItem {
 public:
  Status status() const override { return current; }
  void registerItem() override {
    ++registers;
    if (failure) throw Error(*failure);
    current = onRegister;
  }
  void unregisterItem() override {
    ++unregisters;
    if (failure) throw Error(*failure);
    current = Status::notRegistered;
  }

  Status current = Status::notRegistered;
  Status onRegister = Status::enabled;
  std::optional<std::string> failure;
  int registers = 0;
  int unregisters = 0;
};

// Paired devices played by printer simulators. Each engine is a real print engine over an
// in-process channel of its own to its device's simulator; the channel counts what crosses it.
// A device's engines must not overlap in time (the simulator serves one channel): the model
// drops one before it makes the next.
class SimulatedDevices : public PrinterDirectory {
 public:
  struct Device {
    std::string name;
    std::string address;
    PrinterSimulator::TepraProSimulator printer;
    int engines = 0;     // engines made for it
    int writes = 0;      // writes of any of its engines
    int linkCloses = 0;  // closes of an open link
  };

  // A printer that prints a label of a few centimetres in a few milliseconds.
  static PrinterSimulator::SimulatorSettings fast() {
    PrinterSimulator::SimulatorSettings settings;
    settings.mmPerSecond = 2000.0;
    return settings;
  }

  Device& add(std::string name, std::string address,
              PrinterSimulator::SimulatorSettings settings = fast()) {
    auto device = std::make_unique<Device>();
    device->name = std::move(name);
    device->address = std::move(address);
    device->printer.settings() = settings;
    devices_.push_back(std::move(device));
    return *devices_.back();
  }

  QCoro::Task<std::vector<PairedPrinter>> pairedPrinters() override {
    ++listings;
    if (holdListings) {
      Gate gate{&held_};
      co_await gate;
    }
    std::vector<PairedPrinter> listed;
    for (const auto& device : devices_) listed.push_back({device->name, device->address});
    co_return listed;
  }

  // Lets a listing held by holdListings go on (through the event loop).
  void releaseListing() {
    if (!held_) return;
    QTimer::singleShot(0, [held = std::exchange(held_, {})] { held.resume(); });
  }

  std::shared_ptr<PrinterKit::SPPPrinter> engine(const std::string& address,
                                                 std::optional<std::string> name) override {
    made.push_back(address);
    for (const auto& device : devices_) {
      if (device->address != address) continue;
      ++device->engines;
      auto engine = PrinterKit::SPPPrinter::create(address, std::move(name),
                                                   std::make_unique<CountingTransport>(*device));
      engine->statusTimeout = 0.5;
      engine->pollInterval = 0.02;
      engine->deadlineSlack = 2.0;
      engine->perLabelSlack = 0.1;
      engine->slowestMmPerSecond = 100.0;
      return engine;
    }
    return unreachableEngine(address, std::move(name),
                             PrinterKit::SPPPrinterFailure::notPaired(address));
  }

  int listings = 0;
  // Every listing waits for releaseListing().
  bool holdListings = false;
  // The addresses engine() was asked for, in order.
  std::vector<std::string> made;

 private:
  class CountingTransport : public PrinterKit::PrinterTransport {
   public:
    explicit CountingTransport(Device& device) : device_(device), channel_(device.printer) {
      channel_.onData = [this](std::vector<std::uint8_t> bytes) {
        if (onData) onData(std::move(bytes));
      };
      channel_.onClosed = [this] {
        if (onClosed) onClosed();
      };
    }
    bool isOpen() const override { return channel_.isOpen(); }
    QCoro::Task<void> open() override { return channel_.open(); }
    QCoro::Task<void> write(std::vector<std::uint8_t> bytes) override {
      ++device_.writes;
      return channel_.write(std::move(bytes));
    }
    void close() override {
      if (channel_.isOpen()) ++device_.linkCloses;
      channel_.close();
    }

   private:
    Device& device_;
    PrinterSimulator::SimulatorTransport channel_;
  };

  struct Gate {
    std::coroutine_handle<>* held;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> waiting) noexcept { *held = waiting; }
    void await_resume() const noexcept {}
  };

  std::vector<std::unique_ptr<Device>> devices_;
  std::coroutine_handle<> held_;
};

// A free TCP port on 127.0.0.1 at the time of the call.
inline std::uint16_t freePort() {
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  return probe.serverPort();
}

// A fresh user with the model's surroundings; nothing of the machine's real user is touched and
// no duration is longer than a few tenths of a second. No printer is paired until a test adds one
// to `devices`.
class ModelFixture : public ::testing::Test {
 protected:
  ModelFixture() {
    stores.keyStore = LocalCertificate::Stores::standard().keyStore;
    stores.browserTrust = browserTrust;
  }

  BridgeModel::Environment environment() {
    BridgeModel::Environment environment;
    environment.stores = stores;
    environment.loginItem = loginItem;
    environment.printers = devices;
    environment.now = [this] { return now; };
    environment.port = port;
    environment.retryDelay = 0.02;
    environment.dailyInterval = 3600;
    environment.certificateWatchInterval = 0;
    environment.statusTimeout = 0.15;
    environment.log = [this](const std::string& line) { logged.push_back(line); };
    // Nothing listens on port 1: every update check ends at once without an update.
    environment.latestURL = QUrl("https://127.0.0.1:1/downloads/vodod-idizor/latest-linux.json");
    environment.updateTimeout = 0.5;
    return environment;
  }

  std::unique_ptr<BridgeModel> makeModel() { return std::make_unique<BridgeModel>(environment()); }

  // An engine dropped at the end of a test ends its idle timer through the event loop: let it,
  // so that no engine outlives its test.
  void TearDown() override { QCoreApplication::sendPostedEvents(); }

  // Certificate made and trusted the way another run of the program leaves it.
  LocalCertificate::Pair trustedCertificate(LocalCertificate::Moment at) {
    LocalCertificate::Pair pair = LocalCertificate::create(at, stores);
    LocalCertificate::trust(pair.certificate, stores);
    return pair;
  }

  bool trusted(const QSslCertificate& certificate) const {
    const QByteArray der = certificate.toDer();
    return browserTrust->trusted.contains(FakeBrowserTrust::Bytes(der.begin(), der.end()));
  }

  // Whether a TLS client trusting `certificate` completes a handshake with the model's listener.
  bool serves(const QSslCertificate& certificate) {
    QSslSocket socket;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({certificate});
    socket.setSslConfiguration(configuration);
    socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return socket.waitForEncrypted(3000);
  }

  BridgeKit::testing::TempHome home;
  std::shared_ptr<FakeBrowserTrust> browserTrust = std::make_shared<FakeBrowserTrust>();
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<SimulatedDevices> devices = std::make_shared<SimulatedDevices>();
  LocalCertificate::Stores stores;
  LocalCertificate::Moment now = std::chrono::system_clock::now();
  std::uint16_t port = freePort();
  // The model's log lines.
  std::vector<std::string> logged;
};

}  // namespace testing
}  // namespace KelmVododIdizor
