// The fake bluetoothd speaks BlueZ's D-Bus protocol as bluetoothd 5.66 does, in what the bridge
// uses: the object manager, the Profile API and the hand-over of the printer's socket.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QObject>
#include <QTimer>

#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"
#include "support/FakeBluez.h"
#include "support/RunTask.h"

namespace TestSupport {
void PrintTo(const FakeBluez::Registration& r, std::ostream* os) {
  *os << "{" << r.sender.toStdString() << ", " << r.path.toStdString() << ", "
      << r.uuid.toStdString() << "}";
}
}  // namespace TestSupport

namespace {

using Bytes = std::vector<std::uint8_t>;
using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QDBusObjectPath, InterfaceMap>;
using PrinterKit::PrinterStatus;
using PrinterKit::TepraPro;
using TestSupport::FakeBluez;
using TestSupport::runUntil;

const QString kPrinter = "FC:0F:E7:00:00:01";
const QString kSerialPort = FakeBluez::serialPortUUID;
const QString kProfilePath = "/org/kelm/test/serialport";

// Handles events until `done()` holds, looking again every few milliseconds: for state that
// lives in another process and raises no event here.
bool eventually(const std::function<bool()>& done) {
  QTimer tick;
  tick.start(5);
  return runUntil(done);
}

// The client's org.bluez.Profile1 object. Keeps a descriptor of every socket handed over; can
// hold back its answers to NewConnection.
class Profile : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.bluez.Profile1")

 public:
  struct Handover {
    QString device;
    int fd;
  };

  ~Profile() override {
    for (const Handover& h : handovers) {
      if (h.fd >= 0) ::close(h.fd);
    }
  }

  bool holdAnswers = false;
  std::vector<QDBusMessage> held;  // NewConnection calls not yet answered
  std::vector<Handover> handovers;
  QStringList disconnectionRequests;
  int releases = 0;

 public slots:
  void NewConnection(const QDBusObjectPath& device, const QDBusUnixFileDescriptor& fd,
                     const QVariantMap& /*properties*/, const QDBusMessage& message) {
    handovers.push_back({device.path(), ::dup(fd.fileDescriptor())});
    if (holdAnswers) {
      message.setDelayedReply(true);
      held.push_back(message);
    }
  }
  void RequestDisconnection(const QDBusObjectPath& device) {
    disconnectionRequests << device.path();
  }
  void Release() { ++releases; }
};

// Signals received on a bus, by member name.
class SignalLog : public QObject {
  Q_OBJECT

 public:
  SignalLog(QDBusConnection bus, const QString& path, const QString& interface,
            const QString& name) {
    EXPECT_TRUE(
        bus.connect("org.bluez", path, interface, name, this, SLOT(received(QDBusMessage))));
  }
  std::vector<QDBusMessage> messages;

 public slots:
  void received(const QDBusMessage& message) { messages.push_back(message); }
};

// The code under test: its own connection to the private bus with a profile object on it.
class Client {
 public:
  explicit Client(const QString& address)
      : name_(QString("client-%1").arg(++count_)),
        bus(QDBusConnection::connectToBus(address, name_)) {
    EXPECT_TRUE(bus.registerObject(kProfilePath, &profile, QDBusConnection::ExportAllSlots));
  }
  ~Client() {
    bus.unregisterObject(kProfilePath);
    QDBusConnection::disconnectFromBus(name_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  QDBusMessage registerProfile() {
    const QVariantMap options{{"Role", "client"}, {"AutoConnect", false}, {"Name", "Kelm test"}};
    return call("/org/bluez", "org.bluez.ProfileManager1", "RegisterProfile",
                {QVariant::fromValue(QDBusObjectPath(kProfilePath)), kSerialPort, options});
  }
  QDBusMessage unregisterProfile() {
    return call("/org/bluez", "org.bluez.ProfileManager1", "UnregisterProfile",
                {QVariant::fromValue(QDBusObjectPath(kProfilePath))});
  }
  QDBusPendingCall connectProfile(const QString& address) {
    return asyncCall(FakeBluez::devicePath(address), "org.bluez.Device1", "ConnectProfile",
                     {kSerialPort});
  }
  // Blocking: only for calls that do not call back into this connection's profile.
  QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                    const QVariantList& arguments = {}) {
    return bus.call(message(path, interface, method, arguments));
  }
  QDBusPendingCall asyncCall(const QString& path, const QString& interface, const QString& method,
                             const QVariantList& arguments = {}) {
    return bus.asyncCall(message(path, interface, method, arguments));
  }

 private:
  static QDBusMessage message(const QString& path, const QString& interface, const QString& method,
                              const QVariantList& arguments) {
    QDBusMessage m = QDBusMessage::createMethodCall("org.bluez", path, interface, method);
    m.setArguments(arguments);
    return m;
  }

  static inline int count_ = 0;
  QString name_;

 public:
  QDBusConnection bus;
  Profile profile;
};

// The answer to an asynchronous call, once it has come.
QDBusMessage answer(const QDBusPendingCall& call) {
  QDBusPendingCallWatcher watcher(call);
  EXPECT_TRUE(runUntil([&] { return watcher.isFinished(); }));
  return watcher.reply();
}

ManagedObjects managedObjects(const QDBusConnection& bus) {
  qDBusRegisterMetaType<InterfaceMap>();
  qDBusRegisterMetaType<ManagedObjects>();
  const QDBusReply<ManagedObjects> reply = bus.call(QDBusMessage::createMethodCall(
      "org.bluez", "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects"));
  EXPECT_TRUE(reply.isValid()) << reply.error().message().toStdString();
  return reply.value();
}

QVariant deviceProperty(FakeBluez& bluez, const QString& address, const QString& name) {
  QDBusMessage message = QDBusMessage::createMethodCall("org.bluez", FakeBluez::devicePath(address),
                                                        "org.freedesktop.DBus.Properties", "Get");
  message << QString("org.bluez.Device1") << name;
  const QDBusMessage reply = bluez.bus().call(message);
  return reply.arguments().value(0).value<QDBusVariant>().variant();
}

QString bluezOwner(const QDBusConnection& bus) {
  return bus.interface()->serviceOwner("org.bluez").value();
}

// Waits up to a few seconds for `fd` to be readable; false when it is not.
bool readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 5000) > 0;
}

// Up to `n` bytes from the socket, fewer when it ends or stays silent for a few seconds.
Bytes readBytes(int fd, std::size_t n) {
  Bytes bytes;
  std::uint8_t buf[256];
  while (bytes.size() < n && readable(fd)) {
    const ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - bytes.size()), MSG_DONTWAIT);
    if (got == 0) break;
    if (got > 0) bytes.insert(bytes.end(), buf, buf + got);
  }
  return bytes;
}

bool readsEndOfStream(int fd) {
  std::uint8_t byte;
  return readable(fd) && ::recv(fd, &byte, 1, MSG_DONTWAIT) == 0;
}

// A status request over the socket gets a status reply.
bool answersStatus(int fd) {
  const Bytes& request = TepraPro::statusRequest;
  if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    return false;
  }
  const Bytes reply = readBytes(fd, PrinterStatus::replyLength);
  return reply.size() == PrinterStatus::replyLength && PrinterStatus::fromReply(reply);
}

TEST(FakeBluezTest, ListsTheAdapterAndItsDevicesAsBluezDoes) {
  FakeBluez bluez;
  ASSERT_TRUE(bluez.isRunning());
  SignalLog added(bluez.bus(), "/", "org.freedesktop.DBus.ObjectManager", "InterfacesAdded");
  SignalLog removed(bluez.bus(), "/", "org.freedesktop.DBus.ObjectManager", "InterfacesRemoved");
  bluez.addDevice(kPrinter, {{"Name", "SR-MK1"}, {"Class", 0x000680u}});
  bluez.addDevice("fc:0f:e7:00:00:02", {{"Paired", false}});
  bluez.addDevice("FC:0F:E7:00:00:03");
  bluez.removeDevice("FC:0F:E7:00:00:03");

  const ManagedObjects objects = managedObjects(bluez.bus());
  EXPECT_EQ(objects.size(), 4);  // /org/bluez, the adapter and two devices
  const QVariantMap adapter =
      objects.value(QDBusObjectPath("/org/bluez/hci0"))["org.bluez.Adapter1"];
  EXPECT_TRUE(adapter.value("Powered").toBool());
  EXPECT_FALSE(adapter.value("Address").toString().isEmpty());

  const InterfaceMap named = objects.value(QDBusObjectPath(FakeBluez::devicePath(kPrinter)));
  EXPECT_TRUE(named.contains("org.freedesktop.DBus.Properties"));
  const QVariantMap device = named.value("org.bluez.Device1");
  EXPECT_EQ(device.value("Address").toString(), kPrinter);
  EXPECT_EQ(device.value("AddressType").toString(), "public");
  EXPECT_EQ(device.value("Name").toString(), "SR-MK1");
  EXPECT_EQ(device.value("Alias").toString(), "SR-MK1");
  EXPECT_EQ(device.value("Class").value<uint>(), 0x000680u);
  EXPECT_TRUE(device.value("Paired").toBool());
  EXPECT_FALSE(device.value("Connected").toBool());
  EXPECT_EQ(device.value("UUIDs").toStringList(), QStringList{kSerialPort});
  EXPECT_EQ(device.value("Adapter").value<QDBusObjectPath>().path(), "/org/bluez/hci0");

  const QVariantMap unnamed =
      objects.value(QDBusObjectPath("/org/bluez/hci0/dev_FC_0F_E7_00_00_02"))
          .value("org.bluez.Device1");
  EXPECT_EQ(unnamed.value("Address").toString(), "FC:0F:E7:00:00:02");
  EXPECT_FALSE(unnamed.contains("Name"));
  EXPECT_FALSE(unnamed.contains("Class"));
  EXPECT_EQ(unnamed.value("Alias").toString(), "FC-0F-E7-00-00-02");
  EXPECT_FALSE(unnamed.value("Paired").toBool());

  ASSERT_TRUE(runUntil([&] { return added.messages.size() == 3 && removed.messages.size() == 1; }));
  EXPECT_EQ(removed.messages.front().arguments().value(0).value<QDBusObjectPath>().path(),
            "/org/bluez/hci0/dev_FC_0F_E7_00_00_03");
}

TEST(FakeBluezTest, RegistersOneProfilePerUuidUntilItsOwnerLeaves) {
  FakeBluez bluez;
  auto first = std::make_unique<Client>(bluez.busAddress());
  Client second(bluez.busAddress());

  const QDBusMessage accepted = first->registerProfile();
  EXPECT_EQ(accepted.type(), QDBusMessage::ReplyMessage) << accepted.errorMessage().toStdString();
  const QDBusMessage refused = second.registerProfile();
  EXPECT_EQ(refused.errorName(), "org.bluez.Error.AlreadyExists");
  EXPECT_EQ(refused.errorMessage(), "UUID already registered");
  const QDBusMessage notTheirs = second.unregisterProfile();
  EXPECT_EQ(notTheirs.errorName(), "org.bluez.Error.DoesNotExist");
  EXPECT_EQ(bluez.registrations(), (std::vector<FakeBluez::Registration>{
                                       {first->bus.baseService(), kProfilePath, kSerialPort}}));
  EXPECT_EQ(bluez.calls().count("RegisterProfile " + kProfilePath + " " + kSerialPort), 2);

  first.reset();  // its connection leaves the bus
  EXPECT_TRUE(eventually([&] { return bluez.registrations().empty(); }));
  const QDBusMessage now = second.registerProfile();
  EXPECT_EQ(now.type(), QDBusMessage::ReplyMessage) << now.errorMessage().toStdString();
}

TEST(FakeBluezTest, HandsTheSocketToNewConnectionBeforeAnsweringConnectProfile) {
  FakeBluez bluez;
  const QString printer = bluez.startPrinter("printer");
  bluez.addDevice(kPrinter, {{"Name", "SR-MK1"}, {"Printer", printer}});
  Client client(bluez.busAddress());
  ASSERT_EQ(client.registerProfile().type(), QDBusMessage::ReplyMessage);

  client.profile.holdAnswers = true;
  const QDBusPendingCall connecting = client.connectProfile(kPrinter);
  ASSERT_TRUE(runUntil([&] { return !client.profile.handovers.empty(); }));
  // A round trip on the same connection: an answer sent before this one's would be here by now.
  client.call("/org/kelm/FakeBluez", "org.kelm.FakeBluez", "Calls");
  EXPECT_FALSE(connecting.isFinished()) << "ConnectProfile answered before NewConnection returned";
  ASSERT_EQ(client.profile.held.size(), 1u);
  client.bus.send(client.profile.held.front().createReply());
  const QDBusMessage connected = answer(connecting);
  EXPECT_EQ(connected.type(), QDBusMessage::ReplyMessage) << connected.errorMessage().toStdString();

  ASSERT_EQ(client.profile.handovers.size(), 1u);
  EXPECT_EQ(client.profile.handovers[0].device, FakeBluez::devicePath(kPrinter));
  EXPECT_TRUE(answersStatus(client.profile.handovers[0].fd));
  EXPECT_TRUE(deviceProperty(bluez, kPrinter, "Connected").toBool());
  EXPECT_EQ(bluez.connections(kPrinter), 1u);
}

TEST(FakeBluezTest, RefusesConnectProfileAsBluezDoes) {
  FakeBluez bluez;
  const QString printer = bluez.startPrinter("printer");
  Client client(bluez.busAddress());
  bluez.addDevice("FC:0F:E7:00:00:10", {{"Printer", printer}});
  bluez.addDevice("FC:0F:E7:00:00:11");
  bluez.addDevice(
      "FC:0F:E7:00:00:12",
      {{"Printer", printer}, {"UUIDs", QStringList{"0000110a-0000-1000-8000-00805f9b34fb"}}});
  bluez.addDevice("FC:0F:E7:00:00:13", {{"Printer", printer}, {"Paired", false}});
  bluez.addDevice("FC:0F:E7:00:00:14", {{"Printer", printer + ".gone"}});
  bluez.addDevice("FC:0F:E7:00:00:15", {{"Printer", printer}, {"ConnectDelay", -1.0}});

  struct Case {
    const char* what;
    std::function<void()> arrange;
    QString address;
    QString error;
    QString message;
  };
  const QString failed = "org.bluez.Error.Failed";
  const QString pageTimeout = "br-connection-page-timeout";
  const QString notAvailable = "org.bluez.Error.NotAvailable";
  const QString unavailable = "br-connection-profile-unavailable";
  std::optional<QDBusPendingCall> neverAnswered;
  const Case cases[] = {
      {"no profile registered", nullptr, "FC:0F:E7:00:00:10", notAvailable, unavailable},
      {"an injected error first",
       [&] {
         ASSERT_EQ(client.registerProfile().type(), QDBusMessage::ReplyMessage);
         bluez.injectError("FC:0F:E7:00:00:11", "ConnectProfile", failed, "Host is down");
       },
       "FC:0F:E7:00:00:11", failed, "Host is down"},
      {"once: then no printer", nullptr, "FC:0F:E7:00:00:11", failed, pageTimeout},
      {"no serial port", nullptr, "FC:0F:E7:00:00:12", notAvailable, unavailable},
      {"not paired", nullptr, "FC:0F:E7:00:00:13", failed, pageTimeout},
      {"nobody listens", nullptr, "FC:0F:E7:00:00:14", failed, pageTimeout},
      {"in progress", [&] { neverAnswered = client.connectProfile("FC:0F:E7:00:00:15"); },
       "FC:0F:E7:00:00:15", "org.bluez.Error.InProgress", "In Progress"},
      {"adapter off, before the missing serial port", [&] { bluez.setAdapterPowered(false); },
       "FC:0F:E7:00:00:12", "org.bluez.Error.NotReady", "br-connection-adapter-not-powered"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.arrange) c.arrange();
    const QDBusMessage refused = answer(client.connectProfile(c.address));
    EXPECT_EQ(refused.errorName(), c.error);
    EXPECT_EQ(refused.errorMessage(), c.message);
  }
  ASSERT_TRUE(neverAnswered);
  EXPECT_FALSE(neverAnswered->isFinished());
  EXPECT_TRUE(client.profile.handovers.empty());
}

TEST(FakeBluezTest, TheLinkEndsWhenEitherSideShutsItDownButNotWhenTheClientMerelyCloses) {
  FakeBluez bluez;
  const QString printer = bluez.startPrinter("printer");
  bluez.addDevice(kPrinter, {{"Printer", printer}});
  Client client(bluez.busAddress());
  ASSERT_EQ(client.registerProfile().type(), QDBusMessage::ReplyMessage);
  auto& handovers = client.profile.handovers;
  auto connect = [&] { return answer(client.connectProfile(kPrinter)).type(); };
  auto connected = [&] { return deviceProperty(bluez, kPrinter, "Connected").toBool(); };
  // The printer takes one channel at a time: the next connection waits until it let go.
  auto printerClosed = [&](int times) {
    return eventually(
        [&] { return bluez.printerLog("printer").count("connection closed") >= times; });
  };

  // The printer is switched off.
  ASSERT_EQ(connect(), QDBusMessage::ReplyMessage);
  ASSERT_EQ(handovers.size(), 1u);
  bluez.hangUp(kPrinter);
  EXPECT_TRUE(readsEndOfStream(handovers[0].fd));
  EXPECT_FALSE(connected());
  EXPECT_TRUE(client.profile.disconnectionRequests.isEmpty());

  // The client shuts its socket down; the next ConnectProfile hands over a new one.
  ASSERT_TRUE(printerClosed(1));
  ASSERT_EQ(connect(), QDBusMessage::ReplyMessage);
  ASSERT_EQ(handovers.size(), 2u);
  EXPECT_TRUE(connected());
  ::shutdown(handovers[1].fd, SHUT_RDWR);
  EXPECT_TRUE(eventually([&] { return !connected(); }));
  ASSERT_TRUE(printerClosed(2));
  ASSERT_EQ(connect(), QDBusMessage::ReplyMessage);
  ASSERT_EQ(handovers.size(), 3u);
  EXPECT_TRUE(answersStatus(handovers[2].fd));

  // A plain close leaves the link up: success, and no new socket.
  ::close(handovers[2].fd);
  handovers[2].fd = -1;
  ASSERT_EQ(connect(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(handovers.size(), 3u);
  EXPECT_EQ(bluez.connections(kPrinter), 3u);
  EXPECT_TRUE(connected());

  // DisconnectProfile asks the profile first, then ends the link.
  const QDBusMessage disconnected = answer(client.asyncCall(
      FakeBluez::devicePath(kPrinter), "org.bluez.Device1", "DisconnectProfile", {kSerialPort}));
  EXPECT_EQ(disconnected.type(), QDBusMessage::ReplyMessage);
  EXPECT_EQ(client.profile.disconnectionRequests, QStringList{FakeBluez::devicePath(kPrinter)});
  EXPECT_FALSE(connected());
  EXPECT_TRUE(printerClosed(3));
}

TEST(FakeBluezTest, ARestartChangesTheOwnerAndForgetsRegistrationsButKeepsDevices) {
  FakeBluez bluez;
  bluez.addDevice(kPrinter, {{"Name", "SR-MK1"}});
  Client client(bluez.busAddress());
  ASSERT_EQ(client.registerProfile().type(), QDBusMessage::ReplyMessage);
  const QString before = bluezOwner(bluez.bus());

  ASSERT_TRUE(bluez.restart());
  EXPECT_TRUE(runUntil([&] { return client.profile.releases == 1; }));
  const QString after = bluezOwner(bluez.bus());
  EXPECT_FALSE(after.isEmpty());
  EXPECT_NE(after, before);
  EXPECT_TRUE(bluez.registrations().empty());
  EXPECT_EQ(managedObjects(bluez.bus())
                .value(QDBusObjectPath(FakeBluez::devicePath(kPrinter)))
                .value("org.bluez.Device1")
                .value("Name")
                .toString(),
            "SR-MK1");
  EXPECT_EQ(client.registerProfile().type(), QDBusMessage::ReplyMessage);

  bluez.stop();
  EXPECT_TRUE(bluezOwner(bluez.bus()).isEmpty());
  const QDBusMessage absent =
      client.call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects");
  EXPECT_EQ(absent.errorName(), "org.freedesktop.DBus.Error.ServiceUnknown");
}

}  // namespace

#include "FakeBluezTest.moc"
