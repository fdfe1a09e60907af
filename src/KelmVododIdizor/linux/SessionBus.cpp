#include "KelmVododIdizor/linux/SessionBus.h"

#include <climits>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QStringList>

#include "Async/Async.h"

namespace KelmVododIdizor {

namespace {

QDBusMessage replyTo(const QDBusMessage& call, const BridgeCommands::Reply& reply) {
  return call.createReply(
      {reply.exitCode, QString::fromStdString(reply.out), QString::fromStdString(reply.err)});
}

}  // namespace

// The exported object. Run answers once the command has ended (a test label may take a while);
// the bridge goes on serving meanwhile.
class SessionBus::Adaptor : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kelm.VododIdizor1")

 public:
  explicit Adaptor(SessionBus& owner) : QObject(&owner), owner_(owner) {}

 public slots:
  int Run(const QStringList& arguments, QString& out, QString& err) {
    setDelayedReply(true);
    const QDBusMessage call = message();
    std::vector<std::string> words;
    for (const QString& argument : arguments) words.push_back(argument.toStdString());
    const CommandLine line = CommandLine::parse(words);
    if (line.error || !line.isCommand()) {
      const std::string why = line.error.value_or("not a command the running bridge carries out");
      owner_.bus_.send(replyTo(call, {2, "", why + "\n"}));
      return 0;
    }
    Async::start(this, [this, call, line]() -> QCoro::Task<> {
      BridgeCommands::Reply reply;
      try {
        auto task = owner_.run_(line);
        reply = co_await task;
      } catch (const std::exception& e) {
        reply = {1, "", std::string("the command failed: ") + e.what() + "\n"};
      }
      owner_.bus_.send(replyTo(call, reply));
    });
    out.clear();
    err.clear();
    return 0;
  }

  void ShowPanel() {
    if (owner_.onShowPanel) owner_.onShowPanel();
  }

 private:
  SessionBus& owner_;
};

SessionBus::SessionBus(QDBusConnection bus, Runner run, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), run_(std::move(run)), adaptor_(new Adaptor(*this)) {}

SessionBus::~SessionBus() {
  if (!claimed_) return;
  bus_.unregisterObject(QString::fromLatin1(path));
  bus_.unregisterService(QString::fromLatin1(service));
}

SessionBus::Claim SessionBus::claim() {
  if (!bus_.isConnected()) return Claim::noBus;
  // Not queued: a second bridge learns at once that the name is taken.
  if (!bus_.registerService(QString::fromLatin1(service))) return Claim::taken;
  bus_.registerObject(QString::fromLatin1(path), adaptor_, QDBusConnection::ExportAllSlots);
  claimed_ = true;
  return Claim::claimed;
}

std::optional<BridgeCommands::Reply> SessionBus::forward(QDBusConnection bus,
                                                         const CommandLine& line) {
  if (!bus.isConnected()) return std::nullopt;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                     QString::fromLatin1(interface), QStringLiteral("Run"));
  call.setAutoStartService(false);
  QStringList arguments;
  for (const std::string& argument : line.arguments()) {
    arguments << QString::fromStdString(argument);
  }
  call << arguments;
  // No time limit: a test label takes as long as the printer does.
  const QDBusMessage answer = bus.call(call, QDBus::Block, INT_MAX);
  if (answer.type() == QDBusMessage::ErrorMessage) {
    const QString name = answer.errorName();
    if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
      return std::nullopt;
    }
    return BridgeCommands::Reply{
        1, "", "the running bridge did not answer: " + answer.errorMessage().toStdString() + "\n"};
  }
  const QList<QVariant> values = answer.arguments();
  if (values.size() != 3) {
    return BridgeCommands::Reply{1, "", "the running bridge gave an answer of the wrong form\n"};
  }
  return BridgeCommands::Reply{values[0].toInt(), values[1].toString().toStdString(),
                               values[2].toString().toStdString()};
}

bool SessionBus::showPanel(QDBusConnection bus) {
  if (!bus.isConnected()) return false;
  QDBusMessage call =
      QDBusMessage::createMethodCall(QString::fromLatin1(service), QString::fromLatin1(path),
                                     QString::fromLatin1(interface), QStringLiteral("ShowPanel"));
  call.setAutoStartService(false);
  return bus.call(call, QDBus::Block, 10'000).type() == QDBusMessage::ReplyMessage;
}

}  // namespace KelmVododIdizor

#include "SessionBus.moc"
