#pragma once

#include <string>

#include <QCoroTask>

#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/CommandLine.h"

namespace KelmVododIdizor {

// The command line's commands on a model: the certificate's set-up, state and removal, and the
// printers' listing, choice, status and test label. The same code serves a command run by the
// program itself (no bridge running) and one the running bridge carries out for another
// process, so both print the same words and end with the same exit status.
class BridgeCommands {
 public:
  // What a command prints and how it ends.
  struct Reply {
    int exitCode = 0;
    std::string out;  // for stdout, whole lines
    std::string err;  // for stderr, whole lines
    bool operator==(const Reply&) const = default;
  };

  // Carries out `line`'s action on `model`. With `lister`, "printers list" reads the paired
  // devices from it and leaves the model alone (no automatic choice, nothing probed): the
  // command of a program that is not the running bridge. Without it the model lists them again,
  // as the panel's "Look again" does.
  // REQUIRES: line.action is a certificate or printers action; main thread.
  static QCoro::Task<Reply> run(BridgeModel& model, CommandLine line,
                                PrinterDirectory* lister = nullptr);

  // The chosen printer's status in words, e.g. "ready, 18 mm tape" or
  // "ready, tape width unknown, The cover is open".
  static std::string describe(const PrinterKit::PrinterStatus& status);
};

}  // namespace KelmVododIdizor
