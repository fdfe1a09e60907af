#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>

namespace TestSupport {

// BlueZ for tests: a private D-Bus bus (dbus-daemon with support/private-bus.conf in a fresh
// temporary folder) with a fake bluetoothd on it (support/fake-bluetoothd.py), which owns
// "org.bluez" and serves the object manager, the adapter, devices and the Profile API as
// bluetoothd 5.66 does, plus tepra-simulator printers that its devices connect to. Never touches
// the machine's system or session bus. Everything it starts ends with it.
//
// Setup failures (a program that does not start, or does not get ready within `timeout`) are
// reported with ADD_FAILURE and leave isRunning() false; a control call that fails is reported
// the same way. Control calls block on the fixture's own bus connection; the fake never waits
// for the code under test while answering one, so they are safe while that code's calls are in
// flight on the same thread.
class FakeBluez {
 public:
  // One registered profile, as the fake keeps it.
  struct Registration {
    QString sender;  // the unique bus name that registered it
    QString path;
    QString uuid;
    bool operator==(const Registration&) const = default;
  };

  static constexpr const char* serialPortUUID = "00001101-0000-1000-8000-00805f9b34fb";

  explicit FakeBluez(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  ~FakeBluez();
  FakeBluez(const FakeBluez&) = delete;
  FakeBluez& operator=(const FakeBluez&) = delete;

  // How long each program may take to get ready; control calls wait as long.
  std::chrono::milliseconds timeout;

  // The fake owns "org.bluez".
  bool isRunning() const;
  QString busAddress() const { return address_; }
  // The fixture's own connection to the private bus (the code under test makes its own with
  // QDBusConnection::connectToBus(busAddress(), name)).
  QDBusConnection bus() const;
  // The object path of the device with this address ("FC:0F:E7:00:00:01").
  static QString devicePath(const QString& address);

  // Starts a tepra-simulator on the Unix socket <temporary folder>/<name>.sock with these extra
  // arguments and returns the socket's path once it listens (empty on failure). Use it as a
  // device's "Printer". Printers run until the fixture ends.
  QString startPrinter(const QString& name, const QStringList& simulatorArgs = {});
  // What the printer has logged so far.
  QString printerLog(const QString& name) const;
  // What the fake has logged so far (across restarts).
  QString log() const;

  // The control interface (org.kelm.FakeBluez); see fake-bluetoothd.py. Device fields: Name (s),
  // Class (u), Paired (b, default true), Trusted (b), UUIDs (as, default the serial port),
  // Printer (s), ConnectDelay (d seconds; negative: never answers).
  void addDevice(const QString& address, const QVariantMap& props = {});
  void setDevice(const QString& address, const QVariantMap& props);
  void removeDevice(const QString& address);
  void setAdapterPowered(bool powered);
  // The next (`once`) or every call of `method` fails with this error: "ConnectProfile",
  // "DisconnectProfile" or "Disconnect" of the device, or with address "" "GetManagedObjects",
  // "RegisterProfile" or "UnregisterProfile". Checked before anything else.
  void injectError(const QString& address, const QString& method, const QString& errorName,
                   const QString& message, bool once = true);
  void clearErrors();
  // The link is lost as when the printer is switched off: its socket is shut down, no
  // RequestDisconnection is sent.
  void hangUp(const QString& address);
  std::vector<Registration> registrations();
  // The Device1 and ProfileManager1 calls received since the fake started, e.g.
  // "RegisterProfile /path 00001101-...", "ConnectProfile FC:0F:E7:00:00:01".
  QStringList calls();
  // The sockets handed over (NewConnection calls) for the device since the fake started.
  uint connections(const QString& address);

  // bluetoothd restarted: the fake ends and starts again with the adapter and devices it had;
  // "org.bluez" gets a new owner, registrations and links are gone. Returns isRunning().
  bool restart();
  // bluetoothd is gone: "org.bluez" has no owner once this returns. restart() brings it back.
  void stop();

 private:
  bool startBus();
  bool startFake();
  bool nameHasOwner() const;
  QDBusMessage control(const QString& method, const QVariantList& arguments);
  QString path(const QString& file) const;

  QTemporaryDir dir_;
  QProcess busDaemon_;
  QProcess fake_;
  std::vector<std::unique_ptr<QProcess>> printers_;
  QString address_;
  QString connectionName_;
  bool running_ = false;
};

}  // namespace TestSupport
