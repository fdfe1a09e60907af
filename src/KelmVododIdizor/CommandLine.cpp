#include "KelmVododIdizor/CommandLine.h"

#include <algorithm>

#include <QDateTime>
#include <QTimeZone>

namespace KelmVododIdizor {

CommandLine CommandLine::parse(const std::vector<std::string>& arguments) {
  CommandLine line;
  if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end() ||
      std::find(arguments.begin(), arguments.end(), "-h") != arguments.end()) {
    line.action = Action::help;
    return line;
  }
  auto fail = [&line](std::string error) {
    line = CommandLine{};
    line.error = std::move(error);
    return line;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--headless") {
      line.headless = true;
    } else if (argument == "--simulate-printer") {
      line.simulatePrinter = true;
    } else if (argument == "--snapshots" && i + 1 == arguments.size()) {
      // Without a directory after it, the option draws no pictures: the run goes on as without it.
    } else if (argument == "certificate") {
      if (line.action != Action::run) return fail("a second command \"certificate\"");
      if (i + 1 == arguments.size()) {
        return fail("\"certificate\" needs a command: setup, status or remove");
      }
      const std::string& command = arguments[++i];
      if (command == "setup") {
        line.action = Action::certificateSetup;
      } else if (command == "status") {
        line.action = Action::certificateStatus;
      } else if (command == "remove") {
        line.action = Action::certificateRemove;
      } else {
        return fail("unknown certificate command \"" + command + "\" (setup, status or remove)");
      }
    } else if (argument == "printers") {
      if (line.action != Action::run) return fail("a second command \"printers\"");
      if (i + 1 == arguments.size()) {
        return fail("\"printers\" needs a command: list, choose, status or test-label");
      }
      const std::string& command = arguments[++i];
      if (command == "list") {
        line.action = Action::printersList;
      } else if (command == "status") {
        line.action = Action::printersStatus;
      } else if (command == "test-label") {
        line.action = Action::printersTestLabel;
      } else if (command == "choose") {
        if (i + 1 == arguments.size() || arguments[i + 1].empty() ||
            arguments[i + 1].front() == '-') {
          return fail("\"printers choose\" needs an address (see \"printers list\") or auto");
        }
        line.action = Action::printersChoose;
        line.printer = arguments[++i];
      } else {
        return fail("unknown printers command \"" + command +
                    "\" (list, choose, status or test-label)");
      }
    } else {
      return fail("unknown argument \"" + argument + "\"");
    }
  }
  if (line.action != Action::run && (line.headless || line.simulatePrinter)) {
    return fail("--headless and --simulate-printer go with running the bridge, not with a command");
  }
  return line;
}

std::string CommandLine::usage() {
  return "usage: kelm-vodod-idizor [--headless] [--simulate-printer]\n"
         "       kelm-vodod-idizor certificate setup|status|remove\n"
         "       kelm-vodod-idizor printers list|status|test-label\n"
         "       kelm-vodod-idizor printers choose <address>|auto\n"
         "       kelm-vodod-idizor --help\n";
}

bool CommandLine::isCommand() const { return action != Action::run && action != Action::help; }

std::vector<std::string> CommandLine::arguments() const {
  switch (action) {
    case Action::certificateSetup:
      return {"certificate", "setup"};
    case Action::certificateStatus:
      return {"certificate", "status"};
    case Action::certificateRemove:
      return {"certificate", "remove"};
    case Action::printersList:
      return {"printers", "list"};
    case Action::printersChoose:
      return {"printers", "choose", printer};
    case Action::printersStatus:
      return {"printers", "status"};
    case Action::printersTestLabel:
      return {"printers", "test-label"};
    case Action::help:
      return {"--help"};
    case Action::run:
      break;
  }
  std::vector<std::string> run;
  if (headless) run.push_back("--headless");
  if (simulatePrinter) run.push_back("--simulate-printer");
  return run;
}

std::string CommandLine::help() {
  return "Kelm™ Vodod Idizor: the bridge between the Kelm web application and TEPRA PRO label\n"
         "printers. It serves https://127.0.0.1:52719 to the web application's pages.\n"
         "\n" +
         usage() +
         "\n"
         "  (no arguments)       run the bridge; without a tray it runs headless\n"
         "  --headless           run the bridge without any user interface, logging to stderr\n"
         "                       (or the system log when stderr is not read)\n"
         "  --simulate-printer   serve a simulated TEPRA PRO (18 mm tape, ready) instead of a\n"
         "                       Bluetooth printer; printed labels are written as PNG files to a\n"
         "                       folder named on start\n"
         "  certificate setup    make the bridge's certificate for 127.0.0.1 if needed and have\n"
         "                       Chrome, Chromium and Firefox trust it (restart the browser "
         "after)\n"
         "  certificate status   print the certificate's state: missing, untrusted,\n"
         "                       trusted until <date>, or renew soon\n"
         "  certificate remove   remove the certificate from the key store and the browsers\n"
         "  printers list        list the paired Bluetooth printers: name and address\n"
         "  printers choose <address>\n"
         "                       print on this paired printer from now on\n"
         "  printers choose auto let the bridge find a TEPRA PRO among the paired printers\n"
         "  printers status      the chosen printer's state, tape and problem\n"
         "  printers test-label  print a test label on the chosen printer\n"
         "  --snapshots DIR      draw the panel's pictures (eight PNG files) into DIR and end\n"
         "  --help               show this text\n"
         "\n"
         "Only one bridge runs at a time. The certificate and printers commands are carried out\n"
         "by the running bridge when there is one (it then uses the new choice at once), and by\n"
         "this program itself otherwise. The exit status is 0 on success, 1 when the command\n"
         "failed and 2 for a command line that is not understood.\n";
}

std::string CommandLine::describe(const BridgeModel::CertState& state) {
  auto date = [](BridgeModel::Moment moment) -> std::string {
    if (moment == BridgeModel::Moment::max()) return "an unreadable date";
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(moment.time_since_epoch()).count();
    return QDateTime::fromSecsSinceEpoch(seconds, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd"))
        .toStdString();
  };
  switch (state.kind) {
    case BridgeModel::CertState::Kind::missing:
      return "missing";
    case BridgeModel::CertState::Kind::untrusted:
      return "untrusted";
    case BridgeModel::CertState::Kind::trusted:
      return "trusted until " + date(state.until);
    case BridgeModel::CertState::Kind::renewSoon:
      return "renew soon (valid until " + date(state.until) + ")";
  }
  return "unknown";
}

}  // namespace KelmVododIdizor
