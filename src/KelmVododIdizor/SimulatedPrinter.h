#pragma once

#include <functional>
#include <memory>
#include <string>

#include <QString>

#include "PrinterKit/SPPPrinter.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace KelmVododIdizor {

// A TEPRA PRO printer simulated in this process, with 18 mm tape loaded and ready, reached by a
// real print engine over an in-process channel: a web page can be tried without a printer. Every
// label it prints is written to `folder` as a PNG file.
// Main thread only.
// REQUIRES: outlives every user of engine() (the engine reaches the simulator through it).
class SimulatedPrinter {
 public:
  static constexpr const char* address = "simulator";
  static constexpr const char* name = "TEPRA PRO (simulated)";

  // REQUIRES: `folder` exists and is writable; log is non-empty.
  SimulatedPrinter(QString folder, std::function<void(const std::string&)> log);
  ~SimulatedPrinter();
  SimulatedPrinter(const SimulatedPrinter&) = delete;
  SimulatedPrinter& operator=(const SimulatedPrinter&) = delete;

  const std::shared_ptr<PrinterKit::SPPPrinter>& engine() const { return engine_; }
  const QString& folder() const { return folder_; }

 private:
  QString folder_;
  std::function<void(const std::string&)> log_;
  PrinterSimulator::TepraProSimulator printer_;
  std::shared_ptr<PrinterKit::SPPPrinter> engine_;
};

}  // namespace KelmVododIdizor
