#include "PrinterKit/PrinterChoice.h"

#include <utility>

#include "Base/Require.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace PrinterKit {

PrinterChoice::Probe PrinterChoice::probe(const PrinterStatus&) { return Probe::tepraPro; }

PrinterChoice::Probe PrinterChoice::probe(const std::exception_ptr& error) {
  KELM_REQUIRE(error != nullptr);
  try {
    std::rethrow_exception(error);
  } catch (const SPPPrinterFailure& failure) {
    return failure.as<SPPPrinterFailure::NotATepraPro>() != nullptr ? Probe::other : Probe::silent;
  } catch (...) {
    return Probe::silent;
  }
}

QCoro::Task<std::optional<std::string>> PrinterChoice::pick(std::vector<std::string> candidates,
                                                            Prober probe) {
  KELM_REQUIRE(static_cast<bool>(probe));
  if (candidates.empty()) co_return std::nullopt;
  std::optional<std::string> fallback;
  for (const std::string& address : candidates) {
    switch (co_await probe(address)) {
      case Probe::tepraPro:
        co_return address;
      case Probe::silent:
        if (!fallback) fallback = address;
        break;
      case Probe::other:
        break;
    }
  }
  co_return fallback ? std::move(*fallback) : candidates.front();
}

}  // namespace PrinterKit
