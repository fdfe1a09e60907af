#include "support/FakeBluez.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>

#include <csignal>

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>

namespace TestSupport {

namespace {

constexpr const char* kControlPath = "/org/kelm/FakeBluez";
constexpr const char* kControlInterface = "org.kelm.FakeBluez";
constexpr unsigned long kPollMs = 5;

// The next line the process writes on stdout, without its line end; empty when it ends or the
// deadline passes first.
std::optional<QByteArray> nextLine(QProcess& process, const QDeadlineTimer& deadline) {
  while (!process.canReadLine()) {
    if (process.state() == QProcess::NotRunning || deadline.hasExpired()) return std::nullopt;
    process.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
  }
  return process.readLine().trimmed();
}

// The process gets SIGTERM when the test program ends, however it ends.
void endWithTheTests(QProcess& process) {
  process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

// Ends the process: SIGTERM, then SIGKILL when it has not gone within `timeout`.
void end(QProcess& process, std::chrono::milliseconds timeout) {
  if (process.state() == QProcess::NotRunning) return;
  process.terminate();
  if (!process.waitForFinished(static_cast<int>(timeout.count()))) {
    process.kill();
    process.waitForFinished();
  }
}

QString readFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

}  // namespace

FakeBluez::FakeBluez(std::chrono::milliseconds timeout_)
    : timeout(timeout_), dir_(QDir(QDir::tempPath()).filePath("kelm-bluez-XXXXXX")) {
  static std::atomic<int> instances{0};
  connectionName_ = QString("FakeBluez-%1").arg(++instances);
  if (!dir_.isValid()) {
    ADD_FAILURE() << "FakeBluez: no temporary folder: " << dir_.errorString().toStdString();
    return;
  }
  if (!startBus()) return;
  startFake();
}

FakeBluez::~FakeBluez() {
  for (auto& printer : printers_) end(*printer, timeout);
  end(fake_, timeout);
  QDBusConnection::disconnectFromBus(connectionName_);
  end(busDaemon_, timeout);
}

bool FakeBluez::startBus() {
  endWithTheTests(busDaemon_);
  busDaemon_.setStandardErrorFile(path("dbus-daemon.log"));
  busDaemon_.start("dbus-daemon",
                   {"--config-file=" PRIVATE_BUS_CONF, "--nofork", "--nopidfile", "--nosyslog",
                    "--print-address=1", "--address=unix:dir=" + dir_.path()});
  const auto line = nextLine(busDaemon_, QDeadlineTimer(timeout));
  if (!line || line->isEmpty()) {
    ADD_FAILURE() << "FakeBluez: dbus-daemon gave no address: "
                  << busDaemon_.errorString().toStdString() << "\n"
                  << readFile(path("dbus-daemon.log")).toStdString();
    return false;
  }
  address_ = QString::fromUtf8(*line);
  if (!QDBusConnection::connectToBus(address_, connectionName_).isConnected()) {
    ADD_FAILURE() << "FakeBluez: cannot connect to the private bus " << address_.toStdString();
    return false;
  }
  return true;
}

bool FakeBluez::startFake() {
  running_ = false;
  if (address_.isEmpty()) return false;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"PYTHONHOME", "PYTHONPATH", "PYTHONSTARTUP"}) env.remove(name);
  env.insert("DBUS_SYSTEM_BUS_ADDRESS", address_);
  fake_.setProcessEnvironment(env);
  endWithTheTests(fake_);
  fake_.setStandardErrorFile(path("fake-bluetoothd.log"), QIODevice::Append);
  const QString state = path("fake-bluetoothd.json");
  QStringList arguments{FAKE_BLUETOOTHD_PATH, "--bus", address_, "--save", state};
  if (QFile::exists(state)) arguments << "--config" << state;
  fake_.start(FAKE_BLUETOOTHD_PYTHON, arguments);
  const auto line = nextLine(fake_, QDeadlineTimer(timeout));
  if (!line || *line != "ready") {
    ADD_FAILURE() << "FakeBluez: fake-bluetoothd did not get ready: "
                  << fake_.errorString().toStdString() << "\n"
                  << log().toStdString();
    end(fake_, timeout);
    return false;
  }
  running_ = true;
  return true;
}

bool FakeBluez::isRunning() const { return running_ && fake_.state() == QProcess::Running; }

QDBusConnection FakeBluez::bus() const { return QDBusConnection(connectionName_); }

QString FakeBluez::devicePath(const QString& address) {
  return "/org/bluez/hci0/dev_" + QString(address).toUpper().replace(':', '_');
}

QString FakeBluez::path(const QString& file) const { return QDir(dir_.path()).filePath(file); }

QString FakeBluez::log() const { return readFile(path("fake-bluetoothd.log")); }

QString FakeBluez::printerLog(const QString& name) const { return readFile(path(name + ".log")); }

QString FakeBluez::startPrinter(const QString& name, const QStringList& simulatorArgs) {
  const QString socket = path(name + ".sock");
  auto& printer = *printers_.emplace_back(std::make_unique<QProcess>());
  endWithTheTests(printer);
  printer.setStandardOutputFile(QProcess::nullDevice());
  printer.setStandardErrorFile(path(name + ".log"));
  printer.start(TEPRA_SIMULATOR_PATH, QStringList{"--unix", socket} + simulatorArgs);
  const QDeadlineTimer deadline(timeout);
  const QString listening = "listening on " + socket;
  while (!printerLog(name).contains(listening)) {
    if (printer.state() == QProcess::NotRunning || deadline.hasExpired()) {
      ADD_FAILURE() << "FakeBluez: the printer " << name.toStdString()
                    << " does not listen: " << printer.errorString().toStdString() << "\n"
                    << printerLog(name).toStdString();
      return {};
    }
    QThread::msleep(kPollMs);
  }
  return socket;
}

QDBusMessage FakeBluez::control(const QString& method, const QVariantList& arguments) {
  QDBusMessage call =
      QDBusMessage::createMethodCall("org.bluez", kControlPath, kControlInterface, method);
  call.setArguments(arguments);
  QDBusMessage reply = bus().call(call, QDBus::Block, static_cast<int>(timeout.count()));
  if (reply.type() != QDBusMessage::ReplyMessage) {
    ADD_FAILURE() << "FakeBluez: " << method.toStdString()
                  << " failed: " << reply.errorName().toStdString() << ": "
                  << reply.errorMessage().toStdString();
  }
  return reply;
}

void FakeBluez::addDevice(const QString& address, const QVariantMap& props) {
  control("AddDevice", {address, props});
}

void FakeBluez::setDevice(const QString& address, const QVariantMap& props) {
  control("SetDevice", {address, props});
}

void FakeBluez::removeDevice(const QString& address) { control("RemoveDevice", {address}); }

void FakeBluez::setAdapterPowered(bool powered) { control("SetAdapterPowered", {powered}); }

void FakeBluez::injectError(const QString& address, const QString& method, const QString& errorName,
                            const QString& message, bool once) {
  control("InjectError", {address, method, errorName, message, once});
}

void FakeBluez::clearErrors() { control("ClearErrors", {}); }

void FakeBluez::hangUp(const QString& address) { control("HangUp", {address}); }

std::vector<FakeBluez::Registration> FakeBluez::registrations() {
  std::vector<Registration> result;
  const QDBusMessage reply = control("Registrations", {});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return result;
  const auto argument = reply.arguments().front().value<QDBusArgument>();
  argument.beginArray();
  while (!argument.atEnd()) {
    Registration r;
    QDBusObjectPath objectPath;
    argument.beginStructure();
    argument >> r.sender >> objectPath >> r.uuid;
    argument.endStructure();
    r.path = objectPath.path();
    result.push_back(std::move(r));
  }
  argument.endArray();
  return result;
}

QStringList FakeBluez::calls() {
  const QDBusMessage reply = control("Calls", {});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().front().toStringList();
}

uint FakeBluez::connections(const QString& address) {
  const QDBusMessage reply = control("Connections", {address});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return 0;
  return reply.arguments().front().toUInt();
}

bool FakeBluez::nameHasOwner() const {
  return bus().interface()->isServiceRegistered("org.bluez").value();
}

void FakeBluez::stop() {
  end(fake_, timeout);
  running_ = false;
  // The bus drops the name when it notices the connection gone, a moment after the exit.
  const QDeadlineTimer deadline(timeout);
  while (nameHasOwner()) {
    if (deadline.hasExpired()) {
      ADD_FAILURE() << "FakeBluez: org.bluez still has an owner after the fake ended";
      return;
    }
    QThread::msleep(kPollMs);
  }
}

bool FakeBluez::restart() {
  stop();
  return startFake();
}

}  // namespace TestSupport
