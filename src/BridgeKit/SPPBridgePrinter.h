#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>

#include "BridgeKit/BridgePrinter.h"
#include "PrinterKit/SPPPrinter.h"

namespace BridgeKit {

// The print engine as the bridge sees it: every member forwards to the SPPPrinter member of the
// same name, without conversion. Main thread only, like the engine.
class SPPBridgePrinter : public BridgePrinter {
 public:
  // REQUIRES: printer != nullptr.
  explicit SPPBridgePrinter(std::shared_ptr<PrinterKit::SPPPrinter> printer);

  std::string displayName() const override;
  std::optional<PrinterKit::PrinterStatus> lastStatus() const override;
  bool isPrinting() const override;
  QCoro::Task<PrinterKit::PrinterStatus> status(double timeout) override;
  QCoro::Task<void> print(std::vector<PrinterKit::RasterLabel> labels, int tapeMm) override;

  const std::shared_ptr<PrinterKit::SPPPrinter>& printer() const { return printer_; }

 private:
  const std::shared_ptr<PrinterKit::SPPPrinter> printer_;
};

}  // namespace BridgeKit
