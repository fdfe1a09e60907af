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
  engine_->log = [this](const std::string& line) { log_("[printer] " + line); };
}

SimulatedPrinter::~SimulatedPrinter() {
  engine_->log = nullptr;
  engine_->close();
}

}  // namespace KelmVododIdizor
