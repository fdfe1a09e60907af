#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QString>

#include "KelmVododIdizor/PrinterDirectory.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace KelmVododIdizor {

// A TEPRA PRO printer simulated in this process, with 18 mm tape loaded and ready, as the only
// paired printer: a web page can be tried without a printer. It is reached by a real print engine
// over an in-process channel; every label it prints is written to `folder` as a PNG file.
// Main thread only.
// REQUIRES: outlives every user of its engine (the engine reaches the simulator through it).
class SimulatedPrinter : public PrinterDirectory {
 public:
  static constexpr const char* address = "00-00-00-00-00-00";
  static constexpr const char* name = "TEPRA PRO (simulated)";

  // REQUIRES: `folder` exists and is writable; log is non-empty.
  SimulatedPrinter(QString folder, std::function<void(const std::string&)> log);
  ~SimulatedPrinter() override;
  SimulatedPrinter(const SimulatedPrinter&) = delete;
  SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

  // The simulated printer alone.
  QCoro::Task<std::vector<PairedPrinter>> pairedPrinters() override;
  // The one engine of the simulated printer for its address, every time; for any other address
  // an engine that fails as a device that is not paired.
  std::shared_ptr<PrinterKit::SPPPrinter> engine(const std::string& device,
                                                 std::optional<std::string> shown) override;

  const QString& folder() const { return folder_; }

 private:
  QString folder_;
  std::function<void(const std::string&)> log_;
  PrinterSimulator::TepraProSimulator printer_;
  std::shared_ptr<PrinterKit::SPPPrinter> engine_;
};

}  // namespace KelmVododIdizor
