#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>

#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/RasterLabel.h"

namespace BridgeKit {

// The printer as the bridge's routes see it; the print engine is one. All members are used on the
// main thread only.
class BridgePrinter {
 public:
  virtual ~BridgePrinter();

  // The printer's name as shown to the web page.
  virtual std::string displayName() const = 0;
  // The last status the printer reported; empty before the first.
  virtual std::optional<PrinterKit::PrinterStatus> lastStatus() const = 0;
  // True while the printer runs a job, whoever started it.
  virtual bool isPrinting() const = 0;

  // Asks the printer for its current status, giving up after `timeout` seconds. Throws on
  // failure, normally a PrinterKit::SPPPrinterFailure.
  virtual QCoro::Task<PrinterKit::PrinterStatus> status(double timeout) = 0;
  // Prints every label as one job on tape `tapeMm` millimetres wide and returns when the job is
  // done. Throws on failure, normally a PrinterKit::SPPPrinterFailure.
  virtual QCoro::Task<void> print(std::vector<PrinterKit::RasterLabel> labels, int tapeMm) = 0;
};

}  // namespace BridgeKit
