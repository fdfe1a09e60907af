#include "BridgeKit/SPPBridgePrinter.h"

#include <utility>

#include "Base/Require.h"

namespace BridgeKit {

SPPBridgePrinter::SPPBridgePrinter(std::shared_ptr<PrinterKit::SPPPrinter> printer)
    : printer_(std::move(printer)) {
  KELM_REQUIRE(printer_ != nullptr);
}

std::string SPPBridgePrinter::displayName() const { return printer_->displayName(); }

std::optional<PrinterKit::PrinterStatus> SPPBridgePrinter::lastStatus() const {
  return printer_->lastStatus();
}

bool SPPBridgePrinter::isPrinting() const { return printer_->isPrinting(); }

// The engine's tasks keep the engine alive while they run; they need nothing of this object.
QCoro::Task<PrinterKit::PrinterStatus> SPPBridgePrinter::status(double timeout) {
  return printer_->status(timeout);
}

QCoro::Task<void> SPPBridgePrinter::print(std::vector<PrinterKit::RasterLabel> labels, int tapeMm) {
  return printer_->print(std::move(labels), tapeMm);
}

}  // namespace BridgeKit
