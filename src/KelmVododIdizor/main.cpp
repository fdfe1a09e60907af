#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>

#include "Async/Async.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/BundleInfo.h"
#include "KelmVododIdizor/CommandLine.h"
#include "KelmVododIdizor/SimulatedPrinter.h"
#include "KelmVododIdizor/SystemLog.h"
#include "KelmVododIdizor/linux/AutostartLoginItem.h"

namespace {

using KelmVododIdizor::BridgeModel;
using KelmVododIdizor::CommandLine;
using KelmVododIdizor::SystemLog;

void say(const std::string& text) { std::fprintf(stdout, "%s\n", text.c_str()); }
void complain(const std::string& text) {
  std::fprintf(stderr, "kelm-vodod-idizor: %s\n", text.c_str());
}

BridgeModel::Environment environment() {
  BridgeModel::Environment environment;
  const QString program = QCoreApplication::applicationFilePath();
  environment.loginItem = std::make_shared<KelmVododIdizor::AutostartLoginItem>(program);
  environment.programPath = program.toStdString();
  environment.log = [](const std::string& line) { SystemLog::write(line); };
  return environment;
}

// Runs one of the model's operations to its end on this thread's event loop.
void runToEnd(std::function<QCoro::Task<>()> operation) {
  QEventLoop loop;
  Async::start(&loop, [&loop, &operation]() -> QCoro::Task<> {
    co_await operation();
    loop.quit();
  });
  loop.exec();
}

bool trusted(const BridgeModel::CertState& state) {
  return state.kind == BridgeModel::CertState::Kind::trusted ||
         state.kind == BridgeModel::CertState::Kind::renewSoon;
}

int certificateCommand(CommandLine::Action action) {
  BridgeModel::Environment env = environment();
  env.serves = false;
  env.log = nullptr;  // the command reports its own outcome
  BridgeModel model(std::move(env));
  switch (action) {
    case CommandLine::Action::certificateStatus:
      say("certificate: " + CommandLine::describe(model.cert()));
      return 0;
    case CommandLine::Action::certificateSetup:
      runToEnd([&model] { return model.setUpCertificate(); });
      if (model.lastMessage()) complain(*model.lastMessage());
      say("certificate: " + CommandLine::describe(model.cert()));
      if (!trusted(model.cert())) return 1;
      say("Restart Chrome, Chromium or Firefox if one is open, so that it reads the new trust.");
      return 0;
    case CommandLine::Action::certificateRemove:
      runToEnd([&model] { return model.removeCertificate(); });
      say("certificate: " + CommandLine::describe(model.cert()));
      return model.cert().kind == BridgeModel::CertState::Kind::missing ? 0 : 1;
    default:
      return 2;
  }
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

int runBridge(const CommandLine& line) {
  if (!line.headless) {
    SystemLog::write(
        "kelm-vodod-idizor: this build has no tray yet; running headless (as with --headless)");
  }
  std::unique_ptr<KelmVododIdizor::SimulatedPrinter> simulated;
  BridgeModel::Environment env = environment();
  if (line.simulatePrinter) {
    const std::optional<QString> folder = labelFolder();
    if (!folder) {
      complain("could not make a folder for the simulated printer's labels in " +
               QDir::tempPath().toStdString());
      return 1;
    }
    simulated = std::make_unique<KelmVododIdizor::SimulatedPrinter>(
        *folder, [](const std::string& text) { SystemLog::write(text); });
    env.printer = simulated->engine();
    SystemLog::write("simulated printer: 18 mm tape, ready; printed labels go to " +
                     folder->toStdString());
  }
  BridgeModel model(std::move(env));
  logChanges(model);
  SystemLog::write("certificate: " + CommandLine::describe(model.cert()));
  if (model.cert().kind == BridgeModel::CertState::Kind::missing) {
    SystemLog::write(
        "no certificate yet: run \"kelm-vodod-idizor certificate setup\" and the bridge starts "
        "listening");
  }
  return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("Kelm"));
  QCoreApplication::setApplicationName(QStringLiteral("kelm-vodod-idizor"));
  QCoreApplication::setApplicationVersion(
      QString::fromStdString(KelmVododIdizor::BundleInfo::current()));

  std::vector<std::string> arguments;
  const QStringList given = QCoreApplication::arguments();
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
      return certificateCommand(line.action);
  }
}
