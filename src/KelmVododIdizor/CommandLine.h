#pragma once

#include <optional>
#include <string>
#include <vector>

#include "KelmVododIdizor/BridgeModel.h"

namespace KelmVododIdizor {

// The program's command line.
struct CommandLine {
  enum class Action {
    run,
    certificateSetup,
    certificateStatus,
    certificateRemove,
    printersList,
    printersChoose,
    printersStatus,
    printersTestLabel,
    help,
  };

  Action action = Action::run;
  // For printersChoose: the address given, or "auto".
  std::string printer;
  // Asked for explicitly with --headless.
  bool headless = false;
  bool simulatePrinter = false;
  // Set when the arguments cannot be understood; nothing else is then meaningful.
  std::optional<std::string> error;

  bool operator==(const CommandLine&) const = default;

  // `arguments` without the program's name. Every argument must be understood: an unknown one,
  // a missing or unknown certificate or printers command, or an option that means nothing for
  // the action is an error. --help wins over everything else.
  static CommandLine parse(const std::vector<std::string>& arguments);
  static std::string usage();
  static std::string help();
  // The arguments that give `action` again (for a command handed to the running bridge).
  std::vector<std::string> arguments() const;
  // A certificate or printers command: carried out by the running bridge when there is one.
  bool isCommand() const;
  // The certificate's state in words: "missing", "untrusted", "trusted until 2027-01-31",
  // "renew soon (valid until 2027-01-31)"; dates in UTC.
  static std::string describe(const BridgeModel::CertState& state);
};

}  // namespace KelmVododIdizor
