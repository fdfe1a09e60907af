#include "PrinterKit/bluez/BlueZStack.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoroDBusPendingCall>
#include <QDBusArgument>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QMap>
#include <QPointer>

#include "Async/Async.h"
#include "PrinterKit/bluez/SocketChannel.h"

namespace PrinterKit::BlueZ {

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, Interfaces>;

constexpr const char* objectManager = "org.freedesktop.DBus.ObjectManager";
constexpr const char* properties = "org.freedesktop.DBus.Properties";
constexpr const char* deviceInterface = "org.bluez.Device1";
constexpr const char* profileManager = "org.bluez.ProfileManager1";
// A lookup that bluetoothd has not answered by then has failed; the transport gives up sooner.
constexpr int lookupCallTimeoutMs = 25'000;

// The address as BlueZ writes it: upper case, ':' between the groups.
QString blueZAddress(const std::string& address) {
  return QString::fromStdString(address).toUpper().replace(QLatin1Char('-'), QLatin1Char(':'));
}

// The objects of "org.bluez", or none when bluetoothd does not answer.
std::optional<ManagedObjects> managedObjects(QDBusConnection bus) {
  const QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(BlueZStack::service), QStringLiteral("/"),
      QString::fromLatin1(objectManager), QStringLiteral("GetManagedObjects"));
  const QDBusMessage reply = bus.call(call, QDBus::Block, lookupCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
    return std::nullopt;
  }
  const QVariant first = reply.arguments().constFirst();
  if (!first.canConvert<QDBusArgument>()) return std::nullopt;
  ManagedObjects objects;
  first.value<QDBusArgument>() >> objects;
  return objects;
}

BluetoothStack::Device deviceOf(const QString& path, const QVariantMap& values) {
  BluetoothStack::Device device;
  device.id = path.toStdString();
  const QVariant address = values.value(QStringLiteral("Address"));
  if (address.typeId() == QMetaType::QString) device.address = address.toString().toStdString();
  const QVariant name = values.value(QStringLiteral("Name"));
  if (name.typeId() == QMetaType::QString) device.name = name.toString().toStdString();
  const QVariant cls = values.value(QStringLiteral("Class"));
  if (cls.typeId() == QMetaType::UInt) device.classOfDevice = cls.toUInt();
  return device;
}

// The errno value whose English text (as older BlueZ sends it) is `message`, or 0.
int errnoOfText(const QString& message) {
  const QByteArray text = message.toUtf8();
  for (int e = 1; e < 134; ++e) {
    const char* description = ::strerrordesc_np(e);
    if (description && text == description) return e;
  }
  return 0;
}

// The errno value a "br-connection-*" text of BlueZ 5.62 and later stands for, or 0.
int errnoOfReason(const QString& message) {
  static const std::map<QString, int> reasons = {
      {QStringLiteral("br-connection-already-connected"), EALREADY},
      {QStringLiteral("br-connection-page-timeout"), EHOSTDOWN},
      {QStringLiteral("br-connection-profile-unavailable"), ENOPROTOOPT},
      {QStringLiteral("br-connection-sdp-search"), EHOSTUNREACH},
      {QStringLiteral("br-connection-create-socket"), EIO},
      {QStringLiteral("br-connection-invalid-arguments"), EINVAL},
      {QStringLiteral("br-connection-adapter-not-powered"), EBADFD},
      {QStringLiteral("br-connection-not-supported"), EOPNOTSUPP},
      {QStringLiteral("br-connection-bad-socket"), EBADFD},
      {QStringLiteral("br-connection-memory-allocation"), ENOMEM},
      {QStringLiteral("br-connection-busy"), EBUSY},
      {QStringLiteral("br-connection-concurrent-connection-limit"), EMLINK},
      {QStringLiteral("br-connection-timeout"), ETIMEDOUT},
      {QStringLiteral("br-connection-refused"), ECONNREFUSED},
      {QStringLiteral("br-connection-aborted-by-remote"), ECONNRESET},
      {QStringLiteral("br-connection-aborted-by-local"), ECONNABORTED},
      {QStringLiteral("br-connection-lmp-protocol-error"), EPROTO},
      {QStringLiteral("br-connection-canceled"), ECANCELED},
      {QStringLiteral("br-connection-key-missing"), ENOKEY},
      {QStringLiteral("br-connection-unknown"), ENOSYS},
  };
  const auto found = reasons.find(message);
  return found == reasons.end() ? 0 : found->second;
}

// The errno value BlueZ derives an error name from, for names that carry no text of their own.
int errnoOfName(const QString& name) {
  static const std::map<QString, int> names = {
      {QStringLiteral("org.bluez.Error.InProgress"), EINPROGRESS},
      {QStringLiteral("org.bluez.Error.AlreadyConnected"), EISCONN},
      {QStringLiteral("org.bluez.Error.AlreadyExists"), EEXIST},
      {QStringLiteral("org.bluez.Error.DoesNotExist"), ENOENT},
      {QStringLiteral("org.bluez.Error.InvalidArguments"), EINVAL},
      {QStringLiteral("org.bluez.Error.NotAuthorized"), EACCES},
      {QStringLiteral("org.bluez.Error.NotPermitted"), EPERM},
      {QStringLiteral("org.bluez.Error.Rejected"), EACCES},
      {QStringLiteral("org.bluez.Error.AuthenticationFailed"), EACCES},
      {QStringLiteral("org.bluez.Error.NotConnected"), ENOTCONN},
  };
  const auto found = names.find(name);
  return found == names.end() ? 0 : found->second;
}

// Taken from the file descriptor D-Bus delivered, which closes its own copy.
int duplicate(const QDBusUnixFileDescriptor& fd) {
  if (!fd.isValid()) return -1;
  return ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

}  // namespace

// The org.bluez.Profile1 object bluetoothd calls.
class BlueZStack::Profile : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.bluez.Profile1")

 public:
  explicit Profile(BlueZStack& stack) : QObject(&stack), stack_(stack) {}

 public slots:
  void NewConnection(const QDBusObjectPath& device, const QDBusUnixFileDescriptor& fd,
                     const QVariantMap& /*properties*/) {
    const int own = duplicate(fd);
    if (own < 0) {
      sendErrorReply(QStringLiteral("org.bluez.Error.Rejected"),
                     QStringLiteral("The socket could not be taken"));
      return;
    }
    if (!stack_.pending_.count(device.path())) {
      // Nobody asked for this connection.
      ::shutdown(own, SHUT_RDWR);
      ::close(own);
      sendErrorReply(QStringLiteral("org.bluez.Error.Rejected"),
                     QStringLiteral("No connection was requested"));
      return;
    }
    stack_.newConnection(device.path(), own);
  }
  void RequestDisconnection(const QDBusObjectPath& device) {
    stack_.disconnectRequested(device.path());
  }
  void Release() { stack_.released(); }

 private:
  BlueZStack& stack_;
};

struct BlueZStack::Pending {
  std::shared_ptr<SocketChannel> channel;
};

BlueZStack::BlueZStack(QDBusConnection bus, QObject* parent)
    : QObject(parent),
      bus_(std::move(bus)),
      profile_(new Profile(*this)),
      watcher_(QString::fromLatin1(service), bus_, QDBusServiceWatcher::WatchForOwnerChange) {
  bus_.registerObject(QString::fromLatin1(profilePath), profile_, QDBusConnection::ExportAllSlots);
  QObject::connect(
      &watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
      [this](const QString&, const QString&, const QString& newOwner) { ownerChanged(newOwner); });
}

BlueZStack::~BlueZStack() { bus_.unregisterObject(QString::fromLatin1(profilePath)); }

std::optional<BluetoothStack::Device> BlueZStack::device(const std::string& address) {
  const std::optional<ManagedObjects> objects = managedObjects(bus_);
  if (!objects) throw SPPPrinterFailure::bluetoothNotReady();
  const QString wanted = blueZAddress(address);
  for (auto object = objects->cbegin(); object != objects->cend(); ++object) {
    const auto device = object.value().find(QString::fromLatin1(deviceInterface));
    if (device == object.value().end()) continue;
    if (device->value(QStringLiteral("Address")).toString().toUpper() == wanted) {
      return deviceOf(object.key().path(), *device);
    }
  }
  return std::nullopt;
}

std::vector<BluetoothStack::Device> BlueZStack::pairedDevices() {
  std::vector<Device> devices;
  const std::optional<ManagedObjects> objects = managedObjects(bus_);
  if (!objects) return devices;
  // The object manager's order: by object path, which is the order bluetoothd lists them in.
  for (auto object = objects->cbegin(); object != objects->cend(); ++object) {
    const auto device = object.value().find(QString::fromLatin1(deviceInterface));
    if (device == object.value().end()) continue;
    if (!device->value(QStringLiteral("Paired")).toBool()) continue;
    devices.push_back(deviceOf(object.key().path(), *device));
  }
  return devices;
}

void BlueZStack::connect(const Device& device, std::function<void(Connection)> done) {
  connectTask(device, std::move(done));
}

QCoro::Task<> BlueZStack::connectTask(Device device, std::function<void(Connection)> done) {
  // Nobody awaits this task: every way out calls `done` once, and nothing escapes.
  const QPointer<BlueZStack> self(this);
  const QString path = QString::fromStdString(device.id);
  try {
    QDBusMessage getAll =
        QDBusMessage::createMethodCall(QString::fromLatin1(service), path,
                                       QString::fromLatin1(properties), QStringLiteral("GetAll"));
    getAll << QString::fromLatin1(deviceInterface);
    const QDBusPendingCall stateCall = bus_.asyncCall(getAll);
    const QDBusMessage state = co_await stateCall;
    if (!self) {
      done(SPPPrinterFailure::bluetoothNotReady());
      co_return;
    }
    if (state.type() == QDBusMessage::ErrorMessage) {
      done(failure(state.errorName(), state.errorMessage()));
      co_return;
    }
    const QVariantMap values = qdbus_cast<QVariantMap>(state.arguments().value(0));
    if (!values.value(QStringLiteral("Paired")).toBool()) {
      done(SPPPrinterFailure::notPaired(device.address.value_or(device.id)));
      co_return;
    }
    const QStringList uuids = values.value(QStringLiteral("UUIDs")).toStringList();
    if (!uuids.contains(QString::fromLatin1(serialPortUUID), Qt::CaseInsensitive)) {
      done(SPPPrinterFailure::noSerialPort());
      co_return;
    }
    if (pending_.count(path)) {
      done(failure(QStringLiteral("org.bluez.Error.InProgress"), QStringLiteral("In Progress")));
      co_return;
    }
    const bool registered = co_await ensureRegistered();
    if (!self) {
      done(SPPPrinterFailure::bluetoothNotReady());
      co_return;
    }
    if (!registered) {
      done(failure(QStringLiteral("org.bluez.Error.AlreadyExists"),
                   QStringLiteral("UUID already registered")));
      co_return;
    }
    if (pending_.count(path)) {
      done(failure(QStringLiteral("org.bluez.Error.InProgress"), QStringLiteral("In Progress")));
      co_return;
    }
    const auto pending = std::make_shared<Pending>();
    pending_[path] = pending;
    QDBusMessage connectProfile = QDBusMessage::createMethodCall(
        QString::fromLatin1(service), path, QString::fromLatin1(deviceInterface),
        QStringLiteral("ConnectProfile"));
    connectProfile << QString::fromLatin1(serialPortUUID);
    // No time limit of D-Bus's own: the caller waits as long as it wants.
    const QDBusPendingCall connectCall = bus_.asyncCall(connectProfile, INT_MAX);
    const QDBusMessage reply = co_await connectCall;
    if (!self) {
      if (pending->channel) pending->channel->close();
      done(SPPPrinterFailure::bluetoothNotReady());
      co_return;
    }
    if (const auto entry = pending_.find(path);
        entry != pending_.end() && entry->second == pending) {
      pending_.erase(entry);
    }
    if (reply.type() == QDBusMessage::ErrorMessage) {
      if (pending->channel) pending->channel->close();
      done(failure(reply.errorName(), reply.errorMessage()));
      co_return;
    }
    if (!pending->channel) {
      // bluetoothd still had a link up and handed over no new socket.
      done(SPPPrinterFailure::openFailed(0));
      co_return;
    }
    channels_[path] = pending->channel;
    done(std::shared_ptr<BluetoothChannel>(pending->channel));
  } catch (const std::exception& e) {
    note(std::string("connecting failed: ") + e.what());
    done(SPPPrinterFailure::openFailed(-1));
  }
}

QCoro::Task<bool> BlueZStack::ensureRegistered() {
  if (registered_) co_return true;
  const std::uint64_t generation = generation_;
  // One registration at a time: callers that come while one is under way (the one made when
  // bluetoothd came back, say) wait for its answer instead of being refused as a second one.
  if (!registering_ || registeringGeneration_ != generation) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(service), QStringLiteral("/org/bluez"),
        QString::fromLatin1(profileManager), QStringLiteral("RegisterProfile"));
    QVariantMap options;
    options.insert(QStringLiteral("Role"), QStringLiteral("client"));
    options.insert(QStringLiteral("AutoConnect"), false);
    options.insert(QStringLiteral("Name"), QStringLiteral("Kelm Vodod Idizor"));
    call << QVariant::fromValue(QDBusObjectPath(QString::fromLatin1(profilePath)))
         << QString::fromLatin1(serialPortUUID) << options;
    registering_ = std::make_shared<QDBusPendingCall>(bus_.asyncCall(call));
    registeringGeneration_ = generation;
  }
  const std::shared_ptr<QDBusPendingCall> pending = registering_;
  const QPointer<BlueZStack> self(this);
  const QDBusMessage reply = co_await *pending;
  if (!self) co_return false;
  if (registering_ == pending) registering_.reset();
  if (registered_) co_return true;
  if (reply.type() == QDBusMessage::ErrorMessage) {
    note("the serial port profile could not be registered: " + reply.errorName().toStdString() +
         ": " + reply.errorMessage().toStdString() +
         (reply.errorName() == QLatin1String("org.bluez.Error.AlreadyExists")
              ? " (another program holds it; is the bridge running twice?)"
              : ""));
    co_return false;
  }
  // A registration answered by an owner that has gone since does not hold for the new one.
  if (generation == generation_) registered_ = true;
  co_return registered_;
}

void BlueZStack::ownerChanged(const QString& newOwner) {
  ++generation_;
  registered_ = false;
  if (newOwner.isEmpty()) return;
  Async::start(this, [this]() -> QCoro::Task<> { co_await ensureRegistered(); });
}

void BlueZStack::newConnection(const QString& device, int fd) {
  const auto entry = pending_.find(device);
  if (entry->second->channel) {
    // A second socket for one request: only the first is used.
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return;
  }
  entry->second->channel = SocketChannel::adopt(fd);
}

void BlueZStack::disconnectRequested(const QString& device) {
  const auto entry = channels_.find(device);
  if (entry == channels_.end()) return;
  if (const std::shared_ptr<SocketChannel> channel = entry->second.lock()) channel->close();
  channels_.erase(entry);
}

void BlueZStack::released() { registered_ = false; }

void BlueZStack::note(const std::string& line) const {
  if (log) log("[bluetooth] " + line);
}

SPPPrinterFailure BlueZStack::failure(const QString& errorName, const QString& message) {
  const QString dbus = QStringLiteral("org.freedesktop.DBus.Error.");
  if (errorName == dbus + QLatin1String("ServiceUnknown") ||
      errorName == dbus + QLatin1String("NameHasNoOwner") ||
      errorName == dbus + QLatin1String("NoReply") ||
      errorName == dbus + QLatin1String("Timeout") ||
      errorName == dbus + QLatin1String("TimedOut") ||
      errorName == dbus + QLatin1String("Disconnected") ||
      errorName == dbus + QLatin1String("NoServer")) {
    return SPPPrinterFailure::bluetoothNotReady();
  }
  if (errorName == dbus + QLatin1String("UnknownObject")) return SPPPrinterFailure::notPaired("");

  const int fromReason = errnoOfReason(message);
  const int e = fromReason ? fromReason : errnoOfText(message);
  switch (e) {
    case EHOSTDOWN:
    case ETIMEDOUT:
    case ECONNRESET:
    case ECANCELED:
      return SPPPrinterFailure::unreachable();
    case ENOPROTOOPT:
    case EOPNOTSUPP:
      return SPPPrinterFailure::noSerialPort();
    case EBADFD:
      return SPPPrinterFailure::bluetoothNotReady();
    default:
      break;
  }
  if (errorName == QLatin1String("org.bluez.Error.NotReady")) {
    return SPPPrinterFailure::bluetoothNotReady();
  }
  if (errorName == QLatin1String("org.bluez.Error.NotAvailable") ||
      errorName == QLatin1String("org.bluez.Error.NotSupported")) {
    return SPPPrinterFailure::noSerialPort();
  }
  if (e) return SPPPrinterFailure::openFailed(e);
  if (const int fromName = errnoOfName(errorName)) return SPPPrinterFailure::openFailed(fromName);
  // An error this code does not know: EIO, the generic failure of a connection.
  return SPPPrinterFailure::openFailed(EIO);
}

}  // namespace PrinterKit::BlueZ

namespace PrinterKit {

BluetoothStack& BluetoothStack::standard() {
  // Never destroyed: its profile stays registered for as long as the process runs.
  static BlueZ::BlueZStack* const stack = new BlueZ::BlueZStack(QDBusConnection::systemBus());
  return *stack;
}

}  // namespace PrinterKit

#include "BlueZStack.moc"
