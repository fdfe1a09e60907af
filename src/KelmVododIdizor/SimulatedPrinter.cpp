#include "KelmVododIdizor/SimulatedPrinter.h"

#include <utility>

#include "Base/Require.h"
#include "PrinterSimulator/LabelFiles.h"
#include "PrinterSimulator/SimulatorTransport.h"

namespace KelmVododIdizor {

SimulatedPrinter::SimulatedPrinter(QString folder, std::function<void(const std::string&)> log)
    : folder_(std::move(folder)), log_(std::move(log)) {
  KELM_REQUIRE(log_ != nullptr);
  printer_.onJobPrinted = [this](std::size_t first, std::size_t count) {
    for (const std::string& line :
         PrinterSimulator::writeLabelFiles(printer_, first, count, folder_)) {
      log_("[simulator] " + line);
    }
  };
  engine_ = PrinterKit::SPPPrinter::create(
      address, std::string(name), std::make_unique<PrinterSimulator::SimulatorTransport>(printer_));
}

SimulatedPrinter::~SimulatedPrinter() {
  engine_->log = nullptr;
  engine_->close();
}

QCoro::Task<std::vector<PairedPrinter>> SimulatedPrinter::pairedPrinters() {
  co_return std::vector<PairedPrinter>{{name, address}};
}

std::shared_ptr<PrinterKit::SPPPrinter> SimulatedPrinter::engine(const std::string& device,
                                                                 std::optional<std::string> shown) {
  if (device == address) return engine_;
  return unreachableEngine(device, std::move(shown),
                           PrinterKit::SPPPrinterFailure::notPaired(device));
}

}  // namespace KelmVododIdizor
