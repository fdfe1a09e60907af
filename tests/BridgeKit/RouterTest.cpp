#include "BridgeKit/Router.h"

#include <gtest/gtest.h>

#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <QPromise>

#include "BridgeKit/RouterFixture.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace BridgeKit {
namespace {

using PrinterKit::PrinterStatus;
using PrinterKit::SPPPrinterFailure;
using TestSupport::FakeBridgePrinter;
using TestSupport::runTask;

TEST(RouterPathTest, DropsTheQuery) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/v1/status", "/v1/status"},
      {"/v1/status?x=1", "/v1/status"},
      {"/v1/status?", "/v1/status"},
      {"/v1/print?a?b", "/v1/print"},
      {"?/v1/status", "/v1/status"},
      {"?a?b", "a?b"},
      {"?", "?"},
      {"", ""},
      {"/v1/status#x", "/v1/status#x"},
  };
  for (const auto& [target, path] : cases) EXPECT_EQ(Router::path(target), path) << target;
}

TEST_F(RouterTest, PolicyChecksHostThenOriginThenPathThenBodyThenMethod) {
  struct Case {
    const char* what;
    Req req;
    int status;
    std::string code;  // empty for an answer without error
    std::optional<std::string> cors;
  };
  const std::string other = "http://localhost:5173";
  const Case cases[] = {
      {"host without port", {.host = "127.0.0.1"}, 421, "BAD_HOST", {}},
      {"host in capitals", {.host = "LOCALHOST:52719"}, 421, "BAD_HOST", {}},
      {"IPv6 loopback", {.host = "[::1]:52719"}, 421, "BAD_HOST", {}},
      {"other port", {.host = "127.0.0.1:52720"}, 421, "BAD_HOST", {}},
      {"no host", {.host = std::nullopt}, 421, "BAD_HOST", {}},
      {"host before origin", {.host = "example.com", .origin = std::nullopt}, 421, "BAD_HOST", {}},
      {"no origin", {.origin = std::nullopt}, 403, "ORIGIN_NOT_ALLOWED", {}},
      {"origin with slash", {.origin = kOrigin + "/"}, 403, "ORIGIN_NOT_ALLOWED", {}},
      {"origin in capitals", {.origin = "https://APP.example"}, 403, "ORIGIN_NOT_ALLOWED", {}},
      {"origin with port", {.origin = kOrigin + ":443"}, 403, "ORIGIN_NOT_ALLOWED", {}},
      {"origin before path", {.target = "/x", .origin = "null"}, 403, "ORIGIN_NOT_ALLOWED", {}},
      {"unknown path", {.target = "/v1/other"}, 404, "NOT_FOUND", kOrigin},
      {"path with slash", {.target = "/v1/status/"}, 404, "NOT_FOUND", kOrigin},
      {"path before method", {.method = "OPTIONS", .target = "/"}, 404, "NOT_FOUND", kOrigin},
      {"path before body", {.target = "/x", .body = "{}"}, 404, "NOT_FOUND", kOrigin},
      {"GET with body", {.body = "{}"}, 400, "BAD_REQUEST", kOrigin},
      {"POST status with body", {.method = "POST", .body = "{}"}, 400, "BAD_REQUEST", kOrigin},
      {"OPTIONS with body",
       {.method = "OPTIONS", .target = "/v1/print", .body = "{}"},
       400,
       "BAD_REQUEST",
       kOrigin},
      {"GET print", {.target = "/v1/print"}, 405, "METHOD_NOT_ALLOWED", kOrigin},
      {"DELETE print",
       {.method = "DELETE", .target = "/v1/print"},
       405,
       "METHOD_NOT_ALLOWED",
       kOrigin},
      {"POST status without body", {.method = "POST"}, 405, "METHOD_NOT_ALLOWED", kOrigin},
      {"method in lower case", {.method = "get"}, 405, "METHOD_NOT_ALLOWED", kOrigin},
      {"named host", {.host = "localhost:52719"}, 200, "", kOrigin},
      {"second allowed origin", {.origin = other}, 200, "", other},
      {"query", {.target = "/v1/status?t=1"}, 200, "", kOrigin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HTTPResponse a = answer(c.req);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(code(a), c.code);
    EXPECT_EQ(a.headers, jsonHeaders(c.cors));
    // The listener runs the same policy on the head alone, before the body arrives.
    HTTPRequest::Head head{c.req.method, c.req.target, build(c.req).headers, 0,
                           static_cast<std::int64_t>(c.req.body.size())};
    const std::optional<HTTPResponse> refusal = router.precheck(head);
    EXPECT_EQ(refusal.has_value(), c.status != 200 && c.status != 405);
  }
  EXPECT_EQ(printer->jobs.size(), 0u);
}

TEST_F(RouterTest, PrecheckLetsAPrintBodyFollowItsHead) {
  const std::string head =
      "POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1:52719\r\nOrigin: " + kOrigin +
      "\r\nContent-Length: 100\r\n\r\n";
  const HTTPRequest::HeadParse parsed = HTTPRequest::parseHead(head);
  ASSERT_NE(parsed.head(), nullptr);
  EXPECT_EQ(router.precheck(*parsed.head()), std::nullopt);
}

TEST_F(RouterTest, ExactAnswers) {
  const std::string tail = "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  const std::string cors = "Access-Control-Allow-Origin: https://app.example\r\nVary: Origin\r\n";

  EXPECT_EQ(text(answer({.method = "OPTIONS", .target = "/v1/print"}).serialized()),
            "HTTP/1.1 204 No Content\r\n"
            "Access-Control-Allow-Methods: GET, POST\r\n"
            "Access-Control-Allow-Headers: content-type\r\n"
            "Access-Control-Allow-Private-Network: true\r\n"
            "Access-Control-Max-Age: 600\r\n" +
                cors + "Content-Length: 0\r\n" + tail);

  printer->statusAnswers = {FakeBridgePrinter::ready(12)};
  const std::string status =
      R"({"app":"Kelm Vodod Idizor","printer":{"connected":true,"name":"SR-MK1 Office",)"
      R"("state":"ready","tapeMm":12},"tapes":[9,12,18,24],"version":"1.4.2"})";
  EXPECT_EQ(text(answer({}).serialized()),
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n" + cors +
                "Content-Length: " + std::to_string(status.size()) + "\r\n" + tail + status);

  printer->printFailure = std::make_exception_ptr(SPPPrinterFailure::tapeMismatch(18, 12));
  const std::string mismatch = R"({"code":"TAPE_MISMATCH","loadedMm":18})";
  EXPECT_EQ(text(answer({.method = "POST",
                         .target = "/v1/print",
                         .body = printBody(12, {labelPng(10, 144)})})
                     .serialized()),
            "HTTP/1.1 409 Conflict\r\nContent-Type: application/json\r\n" + cors +
                "Content-Length: " + std::to_string(mismatch.size()) + "\r\n" + tail + mismatch);
}

TEST_F(RouterTest, StatusWithoutPrinter) {
  hasPrinter = false;
  const HTTPResponse a = answer({});
  EXPECT_EQ(a.status, 200);
  EXPECT_EQ(text(a.body), R"({"app":"Kelm Vodod Idizor","tapes":[9,12,18,24],"version":"1.4.2"})");
}

TEST_F(RouterTest, StatusPrinterEntry) {
  const PrinterStatus coverOpen{
      PrinterStatus::State::ready, PrinterStatus::Problem::coverOpen, std::nullopt, 0, 0, 1};
  const PrinterStatus strange{
      PrinterStatus::State::unknown, PrinterStatus::Problem::unknown, std::nullopt, 9, 7, 9};
  struct Case {
    const char* what;
    FakeBridgePrinter::StatusAnswer reply;
    bool printingElsewhere;
    std::optional<PrinterStatus> last;
    std::string entry;
  };
  const Case cases[] = {
      {"ready",
       FakeBridgePrinter::ready(24),
       false,
       {},
       R"({"connected":true,"name":"SR-MK1 Office","state":"ready","tapeMm":24})"},
      {"cover open",
       coverOpen,
       false,
       {},
       R"({"connected":true,"name":"SR-MK1 Office","problem":"coverOpen","state":"ready"})"},
      {"unknown state and problem",
       strange,
       false,
       {},
       R"({"connected":true,"name":"SR-MK1 Office","problem":"unknown","state":"unknown"})"},
      {"unreachable",
       std::make_exception_ptr(SPPPrinterFailure::unreachable()),
       false,
       {},
       R"({"connected":false,"error":"PRINTER_UNREACHABLE","name":"SR-MK1 Office"})"},
      {"no serial port",
       std::make_exception_ptr(SPPPrinterFailure::noSerialPort()),
       false,
       {},
       R"({"connected":false,"error":"PRINTER_ERROR","name":"SR-MK1 Office"})"},
      {"other error",
       std::make_exception_ptr(std::runtime_error("x")),
       false,
       {},
       R"({"connected":false,"error":"PRINTER_ERROR","name":"SR-MK1 Office"})"},
      {"printing elsewhere", FakeBridgePrinter::ready(), true, FakeBridgePrinter::ready(18),
       R"({"connected":true,"name":"SR-MK1 Office","state":"printing","tapeMm":18})"},
      {"printing, nothing known",
       FakeBridgePrinter::ready(),
       true,
       {},
       R"({"connected":true,"name":"SR-MK1 Office","state":"printing"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    now += 100;  // nothing reused
    printer->statusTimeouts.clear();
    printer->statusAnswers = {c.reply};
    printer->printingElsewhere = c.printingElsewhere;
    printer->last = c.last;
    const Json::Value body = json(answer({}));
    ASSERT_NE(body.find("printer"), nullptr);
    EXPECT_EQ(Json::write(*body.find("printer")), c.entry);
    // The printer is asked, with the status time limit, only when it is not printing.
    EXPECT_EQ(printer->statusTimeouts,
              c.printingElsewhere ? std::vector<double>{} : std::vector<double>{3.0});
  }
}

TEST_F(RouterTest, StatusBodyReuse) {
  struct Case {
    const char* what;
    bool withPrinter;
    FakeBridgePrinter::StatusAnswer reply;
    double later;
    bool askedAgain;
  };
  const auto unreachable = std::make_exception_ptr(SPPPrinterFailure::unreachable());
  const Case cases[] = {
      {"connected, just fresh", true, FakeBridgePrinter::ready(), 1.999, false},
      {"connected, stale", true, FakeBridgePrinter::ready(), 2.0, true},
      {"unreachable, just fresh", true, unreachable, 11.999, false},
      {"unreachable, stale", true, unreachable, 12.0, true},
      {"no printer, just fresh", false, FakeBridgePrinter::ready(), 1.999, false},
      {"no printer, stale", false, FakeBridgePrinter::ready(), 2.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    now += 100;  // what an earlier case left is stale
    hasPrinter = c.withPrinter;
    printer->statusAnswers = {c.reply, FakeBridgePrinter::ready(9)};
    const HTTPResponse first = answer({});
    const int lookups = printerLookups;
    now += c.later;
    const HTTPResponse second = answer({});
    EXPECT_EQ(printerLookups, c.askedAgain ? lookups + 1 : lookups);
    EXPECT_EQ(second.body == first.body, !c.askedAgain || !c.withPrinter);
  }
}

// The status body with this printer entry; the fixture's application version.
std::string statusWith(const std::string& printerEntry) {
  return R"({"app":"Kelm Vodod Idizor","printer":)" + printerEntry +
         R"(,"tapes":[9,12,18,24],"version":"1.4.2"})";
}

const std::string readyEntry =
    R"({"connected":true,"name":"SR-MK1 Office","state":"ready","tapeMm":18})";
const std::string unreachableEntry =
    R"({"connected":false,"error":"PRINTER_UNREACHABLE","name":"SR-MK1 Office"})";

TEST_F(RouterTest, AReusedStatusBodyIsWholeAtEveryReuse) {
  struct Case {
    const char* what;
    bool withPrinter;
    FakeBridgePrinter::StatusAnswer reply;
    double step;  // between answers; four answers stay within the reuse time
    std::string body;
  };
  const Case cases[] = {
      {"ready", true, FakeBridgePrinter::ready(18), 0.5, statusWith(readyEntry)},
      {"unreachable", true, std::make_exception_ptr(SPPPrinterFailure::unreachable()), 3.0,
       statusWith(unreachableEntry)},
      {"no printer", false, FakeBridgePrinter::ready(18), 0.5,
       R"({"app":"Kelm Vodod Idizor","tapes":[9,12,18,24],"version":"1.4.2"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    now += 100;
    hasPrinter = c.withPrinter;
    printer->statusTimeouts.clear();
    printer->statusAnswers = {c.reply};
    const int lookups = printerLookups;
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(text(answer({}).body), c.body) << "answer " << i;
      now += c.step;
    }
    EXPECT_EQ(printerLookups, lookups + 1);
    EXPECT_EQ(printer->statusTimeouts.size(), c.withPrinter ? 1u : 0u);
  }
}

TEST_F(RouterTest, AChangeOfPrinterEndsTheReuseOfTheBodyItHad) {
  const std::shared_ptr<FakeBridgePrinter> first = printer;
  const auto second = std::make_shared<FakeBridgePrinter>();
  second->name = "SR-MK2 Lab";
  second->statusAnswers = {FakeBridgePrinter::ready(24)};
  const std::string secondBody =
      statusWith(R"({"connected":true,"name":"SR-MK2 Lab","state":"ready","tapeMm":24})");

  // A body kept for 2 s (ready) or 12 s (unreachable) is dropped at once.
  const std::pair<FakeBridgePrinter::StatusAnswer, std::string> cases[] = {
      {FakeBridgePrinter::ready(18), statusWith(readyEntry)},
      {std::make_exception_ptr(SPPPrinterFailure::unreachable()), statusWith(unreachableEntry)},
  };
  for (const auto& [reply, firstBody] : cases) {
    SCOPED_TRACE(firstBody);
    now += 100;
    printer = first;
    first->statusAnswers = {reply};
    second->statusTimeouts.clear();
    EXPECT_EQ(text(answer({}).body), firstBody);
    now += 0.5;
    printer = second;
    router.printerChanged();
    EXPECT_EQ(text(answer({}).body), secondBody);
    EXPECT_EQ(second->statusTimeouts.size(), 1u);
  }

  // A query of the first printer still waiting for it is answered, but its body is not kept.
  now += 100;
  printer = first;
  first->statusAnswers = {FakeBridgePrinter::ready(18)};
  second->statusTimeouts.clear();
  QPromise<void> gate;
  gate.start();
  first->statusGate = gate.future();
  QCoro::Task<HTTPResponse> waiting = router.handle(build({}));
  ASSERT_EQ(first->statusTimeouts.size(), 3u);
  router.printerChanged();
  printer = second;
  gate.finish();
  const std::optional<HTTPResponse> late = runTask(std::move(waiting));
  ASSERT_TRUE(late);
  EXPECT_EQ(text(late->body), statusWith(readyEntry));
  EXPECT_EQ(text(answer({}).body), secondBody);
  EXPECT_EQ(second->statusTimeouts.size(), 1u);
}

}  // namespace
}  // namespace BridgeKit
