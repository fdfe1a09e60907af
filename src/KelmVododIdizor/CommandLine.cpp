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
    } else if (argument == "certificate") {
      if (line.action != Action::run) return fail("\"certificate\" given twice");
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
    } else {
      return fail("unknown argument \"" + argument + "\"");
    }
  }
  if (line.action != Action::run && (line.headless || line.simulatePrinter)) {
    return fail(
        "--headless and --simulate-printer go with running the bridge, not with "
        "\"certificate\"");
  }
  return line;
}

std::string CommandLine::usage() {
  return "usage: kelm-vodod-idizor [--headless] [--simulate-printer]\n"
         "       kelm-vodod-idizor certificate setup|status|remove\n"
         "       kelm-vodod-idizor --help\n";
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
         "  --help               show this text\n"
         "\n"
         "A running bridge picks up a certificate set up or removed from the command line within\n"
         "a few seconds.\n";
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
