#include "BridgeKit/Router.h"

#include <chrono>
#include <string>

#include "Base/Require.h"
#include "BridgeKit/WebHost.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"

namespace BridgeKit {

namespace {

const std::string& acceptedHost(bool numeric) {
  static const std::string numericHost = "127.0.0.1:" + std::to_string(Router::port);
  static const std::string namedHost = "localhost:" + std::to_string(Router::port);
  return numeric ? numericHost : namedHost;
}

const std::string* header(const std::map<std::string, std::string>& headers,
                          const std::string& name) {
  auto it = headers.find(name);
  return it == headers.end() ? nullptr : &it->second;
}

HTTPResponse preflight() {
  return HTTPResponse{204,
                      {{"Access-Control-Allow-Methods", "GET, POST"},
                       {"Access-Control-Allow-Headers", "content-type"},
                       {"Access-Control-Allow-Private-Network", "true"},
                       {"Access-Control-Max-Age", "600"}},
                      {}};
}

std::vector<int> tapeWidths() {
  std::vector<int> tapes;
  for (const auto& [mm, dots] : PrinterKit::TepraPro::dotsByTape) tapes.push_back(mm);
  return tapes;
}

}  // namespace

Router::Clock Router::steadyClock() {
  return [] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
}

Router::Origins Router::defaultOrigins() { return {"https://" + std::string(webHost())}; }

Router::Router(std::string appVersion, Origins allowedOrigins, PrinterSource printer, Clock clock)
    : appVersion_(std::move(appVersion)),
      allowedOrigins_(std::move(allowedOrigins)),
      printer_(std::move(printer)),
      clock_(std::move(clock)) {
  KELM_REQUIRE(static_cast<bool>(printer_));
  KELM_REQUIRE(static_cast<bool>(clock_));
}

std::optional<HTTPResponse> Router::precheck(const HTTPRequest::Head& head) const {
  const std::string* host = header(head.headers, "host");
  if (host == nullptr || (*host != acceptedHost(true) && *host != acceptedHost(false))) {
    return HTTPResponse::json(421, ErrorBody{"BAD_HOST"});
  }
  const std::string* origin = header(head.headers, "origin");
  if (origin == nullptr || !allowedOrigins_.contains(*origin)) {
    return HTTPResponse::json(403, ErrorBody{"ORIGIN_NOT_ALLOWED"});
  }
  const std::string p = path(head.path);
  if (p != "/v1/status" && p != "/v1/print") {
    return withCORS(HTTPResponse::json(404, ErrorBody{"NOT_FOUND"}), *origin);
  }
  if (head.contentLength < 1 || (head.method == "POST" && p == "/v1/print")) return std::nullopt;
  return withCORS(HTTPResponse::json(400, ErrorBody{"BAD_REQUEST"}), *origin);
}

HTTPResponse Router::withCORS(HTTPResponse response, std::optional<std::string_view> origin) const {
  if (origin && allowedOrigins_.contains(*origin)) {
    response.headers.emplace_back("Access-Control-Allow-Origin", std::string(*origin));
    response.headers.emplace_back("Vary", "Origin");
  }
  return response;
}

std::string Router::path(std::string_view target) {
  const std::size_t q = target.find('?');
  if (q == std::string_view::npos) return std::string(target);
  for (std::string_view piece : {target.substr(0, q), target.substr(q + 1)}) {
    if (!piece.empty()) return std::string(piece);
  }
  return std::string(target);
}

QCoro::Task<HTTPResponse> Router::handle(HTTPRequest request) {
  const HTTPRequest::Head head{request.method, request.path, request.headers, 0,
                               static_cast<std::int64_t>(request.body.size())};
  if (std::optional<HTTPResponse> refusal = precheck(head)) co_return std::move(*refusal);
  // precheck has seen an allowed origin.
  const std::string origin = *header(request.headers, "origin");
  HTTPResponse response = co_await route(std::move(request));
  co_return withCORS(std::move(response), origin);
}

QCoro::Task<HTTPResponse> Router::route(HTTPRequest request) {
  const std::string p = path(request.path);
  if (request.method == "OPTIONS") co_return preflight();
  if (request.method == "GET" && p == "/v1/status") {
    const StatusBody body = co_await statusBody();
    co_return HTTPResponse::json(200, body);
  }
  if (request.method == "POST" && p == "/v1/print") {
    HTTPResponse response = co_await printRoute(std::move(request.body));
    co_return response;
  }
  co_return HTTPResponse::json(405, ErrorBody{"METHOD_NOT_ALLOWED"});
}

bool Router::fresh(const Cached& cached, double now) const {
  const bool unreachable = cached.body.printer && !cached.body.printer->connected;
  return now - cached.at < (unreachable ? statusReuseUnreachable : statusReuse);
}

void Router::clearCache() {
  cached_.reset();
  ++cacheClears_;
}

QCoro::Task<Router::StatusBody> Router::statusBody() {
  if (cached_ && fresh(*cached_, clock_())) {
    // A copy: QCoro moves from an lvalue that is co_returned, which would empty the cache.
    StatusBody reused = cached_->body;
    co_return reused;
  }

  const std::uint64_t clearsBefore = cacheClears_;
  StatusBody body{"Kelm Vodod Idizor", appVersion_, std::nullopt, tapeWidths()};
  if (std::shared_ptr<BridgePrinter> printer = printer_()) {
    body.printer = co_await printerBody(std::move(printer));
  }
  // A print that started or ended, or a change of printer, while the printer was asked has
  // cleared the cache: this body may describe the printer as it was before that print, or the
  // previous printer, so it is answered but not kept.
  if (cacheClears_ == clearsBefore) cached_ = Cached{clock_(), body};
  co_return body;
}

QCoro::Task<Router::PrinterBody> Router::printerBody(std::shared_ptr<BridgePrinter> printer) {
  PrinterBody entry;
  if (printing_ || printer->isPrinting()) {
    // A job is running: the printer is not disturbed.
    entry.name = printer->displayName();
    entry.connected = true;
    entry.state = "printing";
    if (std::optional<PrinterKit::PrinterStatus> last = printer->lastStatus()) {
      entry.tapeMm = last->tapeMm;
    }
    co_return entry;
  }

  std::exception_ptr failure;
  try {
    const PrinterKit::PrinterStatus status = co_await printer->status(statusTimeout);
    entry.connected = true;
    entry.state = std::string(text(status.state));
    if (status.problem) entry.problem = std::string(text(*status.problem));
    entry.tapeMm = status.tapeMm;
  } catch (...) {
    failure = std::current_exception();
  }
  entry.name = printer->displayName();
  if (failure) {
    entry = PrinterBody{entry.name,   false,        std::nullopt,
                        std::nullopt, std::nullopt, error(failure).second.code};
  }
  co_return entry;
}

}  // namespace BridgeKit
