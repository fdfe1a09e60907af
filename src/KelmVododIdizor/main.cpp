#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>

#include "Async/Async.h"
#include "KelmVododIdizor/AppDelegate.h"
#include "KelmVododIdizor/BluetoothPrinters.h"
#include "KelmVododIdizor/BridgeCommands.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/BundleInfo.h"
#include "KelmVododIdizor/CommandLine.h"
#include "KelmVododIdizor/PrinterDirectory.h"
#include "KelmVododIdizor/SimulatedPrinter.h"
#include "KelmVododIdizor/Snapshots.h"
#include "KelmVododIdizor/SystemLog.h"
#include "KelmVododIdizor/linux/AutostartLoginItem.h"
#include "KelmVododIdizor/linux/SessionBus.h"
#include "PrinterKit/BluetoothTransport.h"

namespace {

using KelmVododIdizor::BridgeCommands;
using KelmVododIdizor::BridgeModel;
using KelmVododIdizor::CommandLine;
using KelmVododIdizor::SessionBus;
using KelmVododIdizor::SystemLog;

void complain(const std::string& text) {
  std::fprintf(stderr, "kelm-vodod-idizor: %s\n", text.c_str());
}

// The factor every wait of the program is multiplied by: KELM_VODOD_IDIZOR_TIME_SCALE, a number
// above 0 and at most 1, so that tests of the whole program need not wait for a minute; 1 when it
// is unset or not such a number.
double timeScale() {
  bool ok = false;
  const double scale = qEnvironmentVariable("KELM_VODOD_IDIZOR_TIME_SCALE").toDouble(&ok);
  return ok && scale > 0 && scale <= 1 ? scale : 1.0;
}

BridgeModel::Environment environment() {
  BridgeModel::Environment environment;
  const QString program = QCoreApplication::applicationFilePath();
  const double scale = timeScale();
  environment.loginItem = std::make_shared<KelmVododIdizor::AutostartLoginItem>(program);
  environment.printers = std::make_shared<KelmVododIdizor::BluetoothPrinters>(scale);
  environment.statusTimeout *= scale;
  environment.reprobeInterval *= scale;
  PrinterKit::BluetoothTransport::Context& bluetooth =
      PrinterKit::BluetoothTransport::Context::standard();
  bluetooth.lookupTimeout *= scale;
  bluetooth.connectTimeout *= scale;
  bluetooth.writeTimeout *= scale;
  environment.programPath = program.toStdString();
  environment.log = [](const std::string& line) { SystemLog::write(line); };
  return environment;
}

// Runs a command to its end on this thread's event loop.
BridgeCommands::Reply runToEnd(BridgeModel& model, const CommandLine& line,
                               KelmVododIdizor::PrinterDirectory& lister) {
  BridgeCommands::Reply reply;
  QEventLoop loop;
  Async::start(&loop, [&]() -> QCoro::Task<> {
    auto task = BridgeCommands::run(model, line, &lister);
    reply = co_await task;
    loop.quit();
  });
  loop.exec();
  return reply;
}

// A certificate or printers command: carried out by the running bridge when there is one, so
// that it acts on what the bridge serves; otherwise here.
int command(const CommandLine& line) {
  std::optional<BridgeCommands::Reply> reply =
      SessionBus::forward(QDBusConnection::sessionBus(), line);
  if (!reply) {
    {
      BridgeModel::Environment env = environment();
      env.serves = false;
      env.log = nullptr;  // the command reports its own outcome
      const std::shared_ptr<KelmVododIdizor::PrinterDirectory> printers = env.printers;
      BridgeModel model(std::move(env));
      reply = runToEnd(model, line, *printers);
    }
    // The engines the command used have closed their links; their timers end on the next turns
    // of the event loop.
    for (int turn = 0; turn < 3; ++turn) QCoreApplication::processEvents();
  }
  std::fputs(reply->out.c_str(), stdout);
  std::fputs(reply->err.c_str(), stderr);
  return reply->exitCode;
}

// A new folder for the simulated printer's labels, kept after the program ends.
std::optional<QString> labelFolder() {
  std::string pattern = QDir::tempPath().toStdString() + "/kelm-vodod-idizor-labels-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return std::nullopt;
  return QString::fromStdString(pattern);
}

void logChanges(BridgeModel& model) {
  QObject::connect(&model, &BridgeModel::changed, &model, [&model](BridgeModel::Field field) {
    switch (field) {
      case BridgeModel::Field::serverRunning:
        SystemLog::write(model.serverRunning() ? "listening on https://127.0.0.1:52719"
                                               : "not listening");
        break;
      case BridgeModel::Field::cert:
        SystemLog::write("certificate: " + CommandLine::describe(model.cert()));
        break;
      case BridgeModel::Field::update:
        if (model.update()) {
          SystemLog::write("a newer version is available: " + model.update()->version + " at " +
                           model.update()->url.toString().toStdString());
        }
        break;
      default:
        break;
    }
  });
}

// Whether this process has a display to show a tray icon and a panel on.
bool hasDisplay() { return QGuiApplication::platformName() != QLatin1String("offscreen"); }

int runBridge(const CommandLine& line) {
  const bool tray = !line.headless && hasDisplay();
  if (!line.headless && !tray) {
    SystemLog::write("kelm-vodod-idizor: no display to show a tray icon on; running headless");
  }
  BridgeModel::Environment env = environment();
  if (line.simulatePrinter) {
    const std::optional<QString> folder = labelFolder();
    if (!folder) {
      complain("could not make a folder for the simulated printer's labels in " +
               QDir::tempPath().toStdString());
      return 1;
    }
    env.printers = std::make_shared<KelmVododIdizor::SimulatedPrinter>(
        *folder, [](const std::string& text) { SystemLog::write(text); });
    SystemLog::write("simulated printer: 18 mm tape, ready; printed labels go to " +
                     folder->toStdString());
  }
  // One bridge at a time: the first holds the port, the Bluetooth profile and the name on the
  // session bus, carries out the commands of later starts and opens its panel for them.
  BridgeModel* served = nullptr;
  SessionBus session(QDBusConnection::sessionBus(), [&served](CommandLine command) {
    return BridgeCommands::run(*served, std::move(command));
  });
  if (session.claim() == SessionBus::Claim::taken) {
    if (tray && SessionBus::showPanel(QDBusConnection::sessionBus())) return 0;
    complain(
        "the bridge is already running; this start ends. \"kelm-vodod-idizor printers status\" "
        "and the other commands act on the running bridge.");
    return 0;
  }
  std::unique_ptr<KelmVododIdizor::AppDelegate> delegate;
  std::unique_ptr<BridgeModel> headless;
  if (tray) {
    QApplication::setQuitOnLastWindowClosed(false);
    delegate = std::make_unique<KelmVododIdizor::AppDelegate>(std::move(env));
    served = &delegate->model();
    session.onShowPanel = [&delegate] { delegate->showPanel(); };
  } else {
    headless = std::make_unique<BridgeModel>(std::move(env));
    served = headless.get();
  }
  BridgeModel& model = *served;
  logChanges(model);
  SystemLog::write("certificate: " + CommandLine::describe(model.cert()));
  if (model.cert().kind == BridgeModel::CertState::Kind::missing) {
    SystemLog::write(
        "no certificate yet: run \"kelm-vodod-idizor certificate setup\" and the bridge starts "
        "listening");
  }
  if (delegate) QTimer::singleShot(0, delegate.get(), [&delegate] { delegate->launched(); });
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  // The tray and the panel need a display; without one the bridge runs headless on the offscreen
  // platform (the test label is still drawn with Qt's text rendering).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Kelm"));
  QCoreApplication::setApplicationName(QStringLiteral("kelm-vodod-idizor"));
  QCoreApplication::setApplicationVersion(
      QString::fromStdString(KelmVododIdizor::BundleInfo::current()));

  const QStringList given = QCoreApplication::arguments();
  // "--snapshots <directory>" draws the panel's pictures and ends: no bridge, no session bus.
  // Followed by nothing, it is the normal run.
  const qsizetype snapshots = given.indexOf(QStringLiteral("--snapshots"), 1);
  if (snapshots >= 1 && snapshots + 1 < given.size()) {
    KelmVododIdizor::Snapshots::run(given[snapshots + 1]);
    return 0;
  }

  std::vector<std::string> arguments;
  for (qsizetype i = 1; i < given.size(); ++i) arguments.push_back(given[i].toStdString());
  const CommandLine line = CommandLine::parse(arguments);
  if (line.error) {
    complain(*line.error);
    std::fputs(CommandLine::usage().c_str(), stderr);
    return 2;
  }
  switch (line.action) {
    case CommandLine::Action::help:
      std::fputs(CommandLine::help().c_str(), stdout);
      return 0;
    case CommandLine::Action::run:
      return runBridge(line);
    default:
      return command(line);
  }
}
