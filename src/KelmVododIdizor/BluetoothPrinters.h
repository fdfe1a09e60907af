#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KelmVododIdizor/PrinterDirectory.h"

namespace KelmVododIdizor {

// The printers paired with this computer over Bluetooth, each reached through its own
// Bluetooth transport.
class BluetoothPrinters final : public PrinterDirectory {
 public:
  // Every wait of the engines (status, polls, the idle close) is multiplied by `timeScale`.
  // REQUIRES: timeScale > 0.
  explicit BluetoothPrinters(double timeScale = 1.0);

  QCoro::Task<std::vector<PairedPrinter>> pairedPrinters() override;
  std::shared_ptr<PrinterKit::SPPPrinter> engine(const std::string& address,
                                                 std::optional<std::string> name) override;

 private:
  const double timeScale_;
};

}  // namespace KelmVododIdizor
