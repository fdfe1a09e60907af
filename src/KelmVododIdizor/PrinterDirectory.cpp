#include "KelmVododIdizor/PrinterDirectory.h"

#include <utility>

namespace KelmVododIdizor {

namespace {

// A channel that never opens: open() throws the same failure every time, so the engine reports
// it for every status query and print.
class ClosedTransport : public PrinterKit::PrinterTransport {
 public:
  explicit ClosedTransport(PrinterKit::SPPPrinterFailure failure) : failure_(std::move(failure)) {}

  bool isOpen() const override { return false; }
  QCoro::Task<void> open() override {
    throw failure_;
    co_return;
  }
  QCoro::Task<void> write(std::vector<std::uint8_t>) override {
    throw PrinterKit::SPPPrinterFailure::connectionLost();
    co_return;
  }
  void close() override {}

 private:
  const PrinterKit::SPPPrinterFailure failure_;
};

}  // namespace

std::shared_ptr<PrinterKit::SPPPrinter> PrinterDirectory::unreachableEngine(
    std::string address, std::optional<std::string> name, PrinterKit::SPPPrinterFailure failure) {
  return PrinterKit::SPPPrinter::create(std::move(address), std::move(name),
                                        std::make_unique<ClosedTransport>(std::move(failure)));
}

}  // namespace KelmVododIdizor
