#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QVariantMap>

#include "PrinterKit/BluetoothStack.h"

namespace PrinterKit::BlueZ {

class SocketChannel;

// The Bluetooth stack on Linux: bluetoothd over D-Bus. Devices come from the object manager of
// "org.bluez"; the serial port is reached through the Profile API: this stack exports an
// org.bluez.Profile1 object, registers it for the serial-port UUID (role "client") from its bus
// connection, and asks a device to ConnectProfile; bluetoothd makes the baseband connection, the
// service search and the RFCOMM connection, hands the socket to NewConnection and only then
// answers ConnectProfile, which is therefore never waited for in a blocking call.
//
// The registration is made when first needed and again whenever "org.bluez" gets a new owner
// (bluetoothd restarted), so the next connection works without restarting the program.
//
// Threads: made on the main thread and used there; device() and pairedDevices() may be called
// from any thread (they block on D-Bus).
class BlueZStack final : public QObject, public BluetoothStack {
  Q_OBJECT

 public:
  static constexpr const char* service = "org.bluez";
  static constexpr const char* serialPortUUID = "00001101-0000-1000-8000-00805f9b34fb";
  static constexpr const char* profilePath = "/org/kelm/vododidizor/serialport";

  // Uses `bus` (the system bus, or a private bus in tests) for every call and the profile.
  explicit BlueZStack(QDBusConnection bus, QObject* parent = nullptr);
  ~BlueZStack() override;

  std::optional<Device> device(const std::string& address) override;
  std::vector<Device> pairedDevices() override;
  void connect(const Device& device, std::function<void(Connection)> done) override;

  // The failure a BlueZ error stands for: the "br-connection-*" texts of BlueZ 5.62 and later and
  // the strerror texts of older versions alike. D-Bus errors that mean bluetoothd is not there
  // give bluetoothNotReady; errors without a case of their own give openFailed with a status
  // that names them (see the implementation).
  static SPPPrinterFailure failure(const QString& errorName, const QString& message);

  // Receives what goes wrong with the profile (a refused registration, for one).
  std::function<void(const std::string&)> log;

 private:
  class Profile;
  struct Pending;

  QCoro::Task<> connectTask(Device device, std::function<void(Connection)> done);
  QCoro::Task<bool> ensureRegistered();
  void ownerChanged(const QString& newOwner);
  void newConnection(const QString& device, int fd);
  void disconnectRequested(const QString& device);
  void released();
  void note(const std::string& line) const;

  QDBusConnection bus_;
  Profile* profile_;
  QDBusServiceWatcher watcher_;
  bool registered_ = false;
  // Counts the owners of "org.bluez" seen; a registration answered for an earlier owner does not
  // count for the current one.
  std::uint64_t generation_ = 0;
  // The registration under way, and the owner it was made for.
  std::shared_ptr<QDBusPendingCall> registering_;
  std::uint64_t registeringGeneration_ = 0;
  // Connections under way, by device object path: the socket NewConnection handed over waits
  // here for the answer to ConnectProfile.
  std::map<QString, std::shared_ptr<Pending>> pending_;
  // Open channels by device object path, for RequestDisconnection.
  std::map<QString, std::weak_ptr<SocketChannel>> channels_;
};

}  // namespace PrinterKit::BlueZ
