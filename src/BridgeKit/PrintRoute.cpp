// POST /v1/print and the mapping of printer failures to API answers.

#include <algorithm>
#include <thread>
#include <utility>
#include <variant>

#include "Async/Async.h"
#include "Base/Require.h"
#include "BridgeKit/LabelConversion.h"
#include "BridgeKit/Router.h"
#include "PrinterKit/TepraPro.h"

namespace BridgeKit {

using PrinterKit::SPPPrinterFailure;

// Marks a print of the API as running for its lifetime: `printing` is set and the status cache
// cleared on entry; both are undone on every way out, exceptions included.
class Router::PrintingScope {
 public:
  explicit PrintingScope(Router& router) : router_(router) {
    router_.printing_ = true;
    router_.clearCache();
  }
  ~PrintingScope() {
    router_.printing_ = false;
    router_.clearCache();
  }
  PrintingScope(const PrintingScope&) = delete;
  PrintingScope& operator=(const PrintingScope&) = delete;

 private:
  Router& router_;
};

// The checks run in this order, each ending the request with its answer: body, tape, number of
// labels, printer, busy, images, printer failure.
//
// Decoding a body of up to 32 MiB and converting its labels are both done off the main thread.
// Decoding is therefore the route's first wait, and `printing` is taken after it, in the same
// uninterrupted step as the printer and busy checks: no other request runs between the check and
// the set, so two prints never both pass. A print that arrives while another one converts or
// prints answers 409 BUSY once its own body has decoded; of two prints whose bodies decode at the
// same time, the first to finish decoding goes ahead. A body that does not decode still answers
// 400 BAD_REQUEST whatever else runs, as the order of the checks requires.
QCoro::Task<HTTPResponse> Router::printRoute(std::vector<std::uint8_t> body) {
  std::optional<PrintRequest> request;
  try {
    auto decode = [body = std::move(body)] { return PrintRequest::decode(body); };
    request = co_await Async::runDetached(std::move(decode));
  } catch (...) {
    request.reset();
  }
  if (!request) co_return HTTPResponse::json(400, ErrorBody{"BAD_REQUEST"});

  const auto tape = std::in_range<int>(request->tapeMm)
                        ? PrinterKit::TepraPro::dotsByTape.find(static_cast<int>(request->tapeMm))
                        : PrinterKit::TepraPro::dotsByTape.end();
  if (tape == PrinterKit::TepraPro::dotsByTape.end()) {
    co_return HTTPResponse::json(400, ErrorBody{"UNSUPPORTED_TAPE"});
  }
  const auto [tapeMm, dots] = *tape;

  if (request->labels.empty()) co_return HTTPResponse::json(400, ErrorBody{"NO_LABELS"});
  if (request->labels.size() > static_cast<std::size_t>(PrinterKit::TepraPro::maxLabels)) {
    co_return HTTPResponse::json(413, ErrorBody{"TOO_MANY_LABELS"});
  }

  const std::shared_ptr<BridgePrinter> printer = printer_();
  if (!printer) co_return HTTPResponse::json(503, ErrorBody{"NO_PRINTER"});
  if (printing_ || printer->isPrinting()) co_return HTTPResponse::json(409, ErrorBody{"BUSY"});

  const PrintingScope scope(*this);

  // Every label is converted before the printer is called: nothing is printed when one fails.
  LabelConversion converted;
  try {
    // One thread per core: converting is PNG decoding, and the labels are independent.
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    auto convert = [labels = std::move(request->labels), dots = dots, workers] {
      return convertLabels(labels, dots, workers);
    };
    converted = co_await Async::runDetached(std::move(convert));
  } catch (...) {
    converted = std::string("BAD_IMAGE");
  }
  if (const std::string* code = std::get_if<std::string>(&converted)) {
    co_return HTTPResponse::json(400, ErrorBody{*code});
  }
  std::vector<PrinterKit::RasterLabel> labels =
      std::move(std::get<std::vector<PrinterKit::RasterLabel>>(converted));
  const std::size_t count = labels.size();

  std::exception_ptr failure;
  try {
    co_await printer->print(std::move(labels), tapeMm);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    const auto [status, errorBody] = error(failure);
    co_return HTTPResponse::json(status, errorBody);
  }
  co_return HTTPResponse::json(200, Json::Object{{"printed", count}});
}

std::pair<int, Router::ErrorBody> Router::error(std::exception_ptr error) {
  KELM_REQUIRE(error != nullptr);
  try {
    std::rethrow_exception(error);
  } catch (const SPPPrinterFailure& failure) {
    return Router::error(failure);
  } catch (...) {
    return {500, ErrorBody{"PRINTER_ERROR"}};
  }
}

std::pair<int, Router::ErrorBody> Router::error(const SPPPrinterFailure& failure) {
  using F = SPPPrinterFailure;
  struct Mapping {
    std::pair<int, ErrorBody> operator()(const F::NotPaired&) const {
      return {503, {"NO_PRINTER"}};
    }
    std::pair<int, ErrorBody> operator()(const F::OpenFailed&) const {
      return {503, {"PRINTER_ERROR"}};
    }
    std::pair<int, ErrorBody> operator()(const F::WriteFailed&) const {
      return {503, {"PRINTER_ERROR"}};
    }
    std::pair<int, ErrorBody> operator()(const F::Busy&) const { return {409, {"BUSY"}}; }
    std::pair<int, ErrorBody> operator()(const F::Problem& p) const {
      switch (p.problem) {
        case PrinterKit::PrinterStatus::Problem::coverOpen:
          return {409, {"COVER_OPEN"}};
        case PrinterKit::PrinterStatus::Problem::noCassette:
          return {409, {"NO_CASSETTE"}};
        case PrinterKit::PrinterStatus::Problem::unknown:
          break;
      }
      return {409, {"PRINTER_PROBLEM"}};
    }
    std::pair<int, ErrorBody> operator()(const F::UnknownState&) const {
      return {409, {"PRINTER_PROBLEM"}};
    }
    std::pair<int, ErrorBody> operator()(const F::TapeMismatch& t) const {
      return {409, {"TAPE_MISMATCH", t.loaded}};
    }
    std::pair<int, ErrorBody> operator()(const F::UnsupportedTape&) const {
      return {400, {"UNSUPPORTED_TAPE"}};
    }
    std::pair<int, ErrorBody> operator()(const F::Unreachable&) const {
      return {503, {"PRINTER_UNREACHABLE"}};
    }
    std::pair<int, ErrorBody> operator()(const F::BluetoothNotReady&) const {
      return {503, {"PRINTER_ERROR"}};
    }
    std::pair<int, ErrorBody> operator()(const F::NoSerialPort&) const {
      return {503, {"PRINTER_ERROR"}};
    }
    std::pair<int, ErrorBody> operator()(const F::NoReply&) const {
      return {503, {"PRINTER_ERROR"}};
    }
    std::pair<int, ErrorBody> operator()(const F::NotATepraPro&) const {
      return {503, {"UNSUPPORTED_PRINTER"}};
    }
    std::pair<int, ErrorBody> operator()(const F::ConnectionLost&) const {
      return {503, {"CONNECTION_LOST"}};
    }
    std::pair<int, ErrorBody> operator()(const F::Unconfirmed&) const {
      return {504, {"PRINT_UNCONFIRMED"}};
    }
  };
  return std::visit(Mapping{}, failure.value());
}

}  // namespace BridgeKit
