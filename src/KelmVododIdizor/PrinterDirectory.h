#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>

#include "PrinterKit/SPPPrinter.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace KelmVododIdizor {

// A paired Bluetooth device that may be a TEPRA PRO printer: its name as shown to the user and
// its address, which identifies it. Compared by both.
struct PairedPrinter {
  std::string name;
  std::string address;
  bool operator==(const PairedPrinter&) const = default;
};

// Where the application model finds printers: the paired devices, and a print engine for one of
// them. The program passes Bluetooth's; the simulated printer and tests pass their own.
// Main thread only.
class PrinterDirectory {
 public:
  virtual ~PrinterDirectory() = default;

  // The paired devices that may be printers, in the platform's order. Never fails: a platform
  // that cannot be asked lists nothing.
  virtual QCoro::Task<std::vector<PairedPrinter>> pairedPrinters() = 0;

  // A print engine for the device at `address`, shown as `name` (the address when none), with
  // its own transport; contacts nothing. A directory with a single device may give its one
  // engine every time. Never null.
  virtual std::shared_ptr<PrinterKit::SPPPrinter> engine(const std::string& address,
                                                         std::optional<std::string> name) = 0;

  // An engine whose every attempt to open its link fails with `failure`: the answer of a
  // directory that cannot reach the device at all.
  static std::shared_ptr<PrinterKit::SPPPrinter> unreachableEngine(
      std::string address, std::optional<std::string> name, PrinterKit::SPPPrinterFailure failure);
};

}  // namespace KelmVododIdizor
