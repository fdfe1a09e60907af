#pragma once

#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>

#include "PrinterKit/PrinterStatus.h"

namespace PrinterKit {

// The rule for choosing a printer among paired devices when the user has chosen none: probe the
// candidates one after another, take the first that answers as a TEPRA PRO, and otherwise prefer
// one that stayed silent to one that answered as something else. Contacts nothing itself.
struct PrinterChoice {
  PrinterChoice() = delete;

  // The outcome of probing one candidate.
  enum class Probe {
    tepraPro,  // answered with a valid status reply
    other,     // answered, but not with a valid reply
    silent,    // could not be reached or did not answer
  };

  // A status query that yielded a status: tepraPro, whatever the status says.
  static Probe probe(const PrinterStatus& status);
  // A status query that failed: other for SPPPrinterFailure notATepraPro, silent for any other
  // failure, of any type. REQUIRES: error is not null.
  static Probe probe(const std::exception_ptr& error);

  // Asks for the outcome of one candidate; runs on the main thread.
  using Prober = std::function<QCoro::Task<Probe>(std::string address)>;

  // Probes `candidates` in order, one at a time, and yields the first that is a TEPRA PRO
  // without probing the rest; after the last one, the first silent candidate, else the first
  // candidate. Empty for an empty list (nothing probed). Fails only when `probe` does.
  // REQUIRES: probe is non-empty.
  static QCoro::Task<std::optional<std::string>> pick(std::vector<std::string> candidates,
                                                      Prober probe);
};

}  // namespace PrinterKit
