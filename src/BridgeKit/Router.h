#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <QCoroTask>

#include "BridgeKit/BridgePrinter.h"
#include "BridgeKit/HTTPRequest.h"
#include "BridgeKit/HTTPResponse.h"
#include "BridgeKit/PrintRequest.h"
#include "Json/Value.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace BridgeKit {

// The bridge's application layer: decides whether a request may be served at all (host, origin,
// path, body), answers CORS preflights, serves GET /v1/status and POST /v1/print, and adds the
// CORS headers to every answer given to an allowed origin.
//
// Threads: precheck, withCORS and path read only what is fixed at creation and may run on any
// thread, at the same time as anything else. Everything else belongs to the thread the Router
// was made on, which runs the event loop (the main thread): handle's task suspends while it
// waits for the printer or for label conversion, and other requests are handled in between.
//
// REQUIRES: the Router outlives every task that handle() returns. The application makes one
// Router at start-up and keeps it for its whole run.
class Router {
 public:
  // The bridge's TCP port, part of the accepted "host" values.
  static constexpr std::uint16_t port = 52719;
  // Time limit of the printer's status query, in seconds.
  static constexpr double statusTimeout = 3.0;
  // How long a status body is reused, in seconds: statusReuse in general, statusReuseUnreachable
  // when its printer could not be asked.
  static constexpr double statusReuse = 2.0;
  static constexpr double statusReuseUnreachable = 12.0;

  // The body of every error answer: {"code": ..., "loadedMm": ...}.
  struct ErrorBody {
    std::string code;               // upper case, e.g. "BAD_HOST"
    std::optional<int> loadedMm{};  // only for "TAPE_MISMATCH", when the loaded width is known
    bool operator==(const ErrorBody&) const = default;
  };

  // The printer's entry in the status body.
  struct PrinterBody {
    std::string name;
    bool connected = false;
    std::optional<std::string> state;    // "ready", "printing", "unknown"; when known
    std::optional<std::string> problem;  // "coverOpen", "noCassette", "unknown"; when reported
    std::optional<int> tapeMm;           // when known
    std::optional<std::string> error;    // the error code, when the printer could not be asked
    bool operator==(const PrinterBody&) const = default;
  };

  // The body of GET /v1/status.
  struct StatusBody {
    std::string app;
    std::string version;
    std::optional<PrinterBody> printer;  // when there is a printer
    std::vector<int> tapes;              // the printable tape widths in millimetres, ascending
    bool operator==(const StatusBody&) const = default;
  };

  // The body of POST /v1/print.
  using PrintRequest = BridgeKit::PrintRequest;

  // Yields the current printer, or null when there is none. Called for every new status body and
  // once per print request, on the Router's thread.
  using PrinterSource = std::function<std::shared_ptr<BridgePrinter>()>;
  // The time now, in seconds on a monotonic scale.
  using Clock = std::function<double()>;
  static Clock steadyClock();

  using Origins = std::set<std::string, std::less<>>;
  // The web application's origin alone: "https://" and its host name (BridgeKit::webHost()).
  // The Router never reads it; the application passes it, possibly with more, as allowedOrigins.
  static Origins defaultOrigins();

  // REQUIRES: printer and clock are non-empty.
  Router(std::string appVersion, Origins allowedOrigins, PrinterSource printer,
         Clock clock = steadyClock());
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;

  // The policy checks on a request head; empty when the request may go on. In order: "host" must
  // be "127.0.0.1:52719" or "localhost:52719" (else 421 BAD_HOST), "origin" must be allowed
  // (else 403 ORIGIN_NOT_ALLOWED), the path must be /v1/status or /v1/print (else 404 NOT_FOUND)
  // and only a POST to /v1/print may carry a body (else 400 BAD_REQUEST). The last two answers
  // carry the CORS headers. Any thread.
  std::optional<HTTPResponse> precheck(const HTTPRequest::Head& head) const;

  // The response with "Access-Control-Allow-Origin: <origin>" and "Vary: Origin" appended when
  // `origin` is an allowed origin; unchanged otherwise. Any thread.
  HTTPResponse withCORS(HTTPResponse response, std::optional<std::string_view> origin) const;

  // The path part of a request target: the target is cut at its first "?" into two pieces, empty
  // pieces are dropped and the first remaining one is the path; with none left, the whole
  // target. So "/v1/status?x" gives "/v1/status" and "?x" gives "x".
  static std::string path(std::string_view target);

  // Answers one complete request: the policy on a head rebuilt from it, then the route, with the
  // CORS headers added. Every failure becomes an answer; throws only when memory runs out.
  QCoro::Task<HTTPResponse> handle(HTTPRequest request);

  // The HTTP status and error body for a failed printer operation (the printer's status query or
  // its print). Every SPPPrinterFailure case has its own mapping; anything else is 500
  // "PRINTER_ERROR".
  // REQUIRES: error is not null.
  static std::pair<int, ErrorBody> error(std::exception_ptr error);
  static std::pair<int, ErrorBody> error(const PrinterKit::SPPPrinterFailure& failure);

  const std::string& appVersion() const { return appVersion_; }
  const Origins& allowedOrigins() const { return allowedOrigins_; }
  // True from the moment a print of the API has passed its checks until its answer is ready.
  bool printing() const { return printing_; }

  // The printer behind the provider has changed, or is about to (a new choice, probing): the
  // cached status body is dropped and a status query already under way is answered but not kept,
  // so no status body describes the previous printer afterwards.
  void printerChanged() { clearCache(); }

 private:
  struct Cached {
    double at;
    StatusBody body;
  };
  class PrintingScope;

  QCoro::Task<HTTPResponse> route(HTTPRequest request);
  QCoro::Task<StatusBody> statusBody();
  QCoro::Task<PrinterBody> printerBody(std::shared_ptr<BridgePrinter> printer);
  QCoro::Task<HTTPResponse> printRoute(std::vector<std::uint8_t> body);
  bool fresh(const Cached& cached, double now) const;
  void clearCache();

  // Fixed at creation; read from any thread.
  const std::string appVersion_;
  const Origins allowedOrigins_;

  // The Router's thread only.
  const PrinterSource printer_;
  const Clock clock_;
  bool printing_ = false;
  std::optional<Cached> cached_;
  // Counts the clearings of the cache, so that a status body whose printer query overlapped a
  // print or a change of printer is answered but not kept.
  std::uint64_t cacheClears_ = 0;
};

// The JSON forms of the bodies: members in ascending key order, absent optionals left out.
Json::Value toJson(const Router::ErrorBody& body);
Json::Value toJson(const Router::PrinterBody& body);
Json::Value toJson(const Router::StatusBody& body);

}  // namespace BridgeKit
