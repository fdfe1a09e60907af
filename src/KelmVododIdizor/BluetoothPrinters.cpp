#include "KelmVododIdizor/BluetoothPrinters.h"

#include <utility>

#include "Base/Require.h"

namespace KelmVododIdizor {

BluetoothPrinters::BluetoothPrinters(double timeScale) : timeScale_(timeScale) {
  KELM_REQUIRE(timeScale > 0);
}

QCoro::Task<std::vector<PairedPrinter>> BluetoothPrinters::pairedPrinters() {
  const std::vector<PrinterKit::SPPPrinter::Paired> paired =
      co_await PrinterKit::SPPPrinter::pairedPrinters();
  std::vector<PairedPrinter> printers;
  for (const auto& printer : paired) printers.push_back({printer.name, printer.address});
  co_return printers;
}

std::shared_ptr<PrinterKit::SPPPrinter> BluetoothPrinters::engine(const std::string& address,
                                                                  std::optional<std::string> name) {
  auto engine = PrinterKit::SPPPrinter::create(address, std::move(name), nullptr);
  engine->idleClose *= timeScale_;
  engine->statusTimeout *= timeScale_;
  engine->pollInterval *= timeScale_;
  return engine;
}

}  // namespace KelmVododIdizor
