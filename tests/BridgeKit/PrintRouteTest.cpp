#include <gtest/gtest.h>

#include <chrono>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QPromise>

#include "BridgeKit/Base64.h"
#include "BridgeKit/RouterFixture.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace BridgeKit {
namespace {

using namespace std::chrono_literals;
using PrinterKit::PrinterStatus;
using PrinterKit::SPPPrinterFailure;
using TestSupport::FakeBridgePrinter;
using TestSupport::runTask;
using TestSupport::runUntil;

const Headers corsHeaders = jsonHeaders(kOrigin);

Req printRequest(std::string body) {
  return {.method = "POST", .target = "/v1/print", .body = std::move(body)};
}

// A gate the fake printer waits at until the test opens it.
struct Gate {
  Gate() { promise.start(); }
  QFuture<void> future() { return promise.future(); }
  void open() { promise.finish(); }
  QPromise<void> promise;
};

TEST_F(RouterTest, PrintRefusals) {
  const std::string ok = labelPng(20, 144);
  const std::string tooShort = labelPng(20, 143);
  const std::string tooLong = labelPng(2836, 144);
  const std::string notPng = encodeBase64(std::vector<std::uint8_t>{'G', 'I', 'F', '8', '9', 'a'});
  struct Case {
    const char* what;
    std::string body;
    int status;
    std::string code;
    bool looksForPrinter = true;
    bool withPrinter = true;
    bool printingElsewhere = false;
  };
  const Case cases[] = {
      {"empty body", "", 400, "BAD_REQUEST", false},
      {"not JSON", "tapeMm=12", 400, "BAD_REQUEST", false},
      {"not an object", "[]", 400, "BAD_REQUEST", false},
      {"no tapeMm", R"({"labels":[]})", 400, "BAD_REQUEST", false},
      {"no labels key", R"({"tapeMm":12})", 400, "BAD_REQUEST", false},
      {"tapeMm a text", R"({"tapeMm":"12","labels":[]})", 400, "BAD_REQUEST", false},
      {"tapeMm a fraction", R"({"tapeMm":12.5,"labels":[]})", 400, "BAD_REQUEST", false},
      {"labels an object", R"({"tapeMm":12,"labels":{}})", 400, "BAD_REQUEST", false},
      {"label a text", R"({"tapeMm":12,"labels":["x"]})", 400, "BAD_REQUEST", false},
      {"png a number", R"({"tapeMm":12,"labels":[{"png":5}]})", 400, "BAD_REQUEST", false},
      {"tape before labels", R"({"tapeMm":10,"labels":[]})", 400, "UNSUPPORTED_TAPE", false},
      {"negative tape", printBody(-12, {ok}), 400, "UNSUPPORTED_TAPE", false},
      {"tape that wraps to 12", printBody(12 + (1LL << 32), {ok}), 400, "UNSUPPORTED_TAPE", false},
      {"no labels", printBody(12, {}), 400, "NO_LABELS", false},
      {"51 labels", printBody(12, std::vector<std::string>(51, ok)), 413, "TOO_MANY_LABELS", false},
      {"no printer", printBody(12, {ok}), 503, "NO_PRINTER", true, false},
      {"printing elsewhere", printBody(12, {ok}), 409, "BUSY", true, true, true},
      {"busy before images", printBody(12, {"!"}), 409, "BUSY", true, true, true},
      {"not base64", printBody(12, {ok, "!!!!"}), 400, "BAD_IMAGE"},
      {"data URL", printBody(12, {ok, "data:image/png;base64," + ok}), 400, "BAD_IMAGE"},
      {"line breaks", printBody(12, {ok, ok.substr(0, 76) + "\r\n" + ok.substr(76)}), 400,
       "BAD_IMAGE"},
      {"not a PNG", printBody(12, {ok, notPng}), 400, "BAD_IMAGE"},
      {"too short for the tape", printBody(12, {ok, tooShort}), 400, "IMAGE_TOO_SHORT"},
      {"too long", printBody(12, {ok, tooLong}), 400, "LABEL_TOO_LONG"},
      {"first failure decides", printBody(12, {ok, tooShort, "!!!!"}), 400, "IMAGE_TOO_SHORT"},
      {"tape decides the dots", printBody(18, {labelPng(20, 215)}), 400, "IMAGE_TOO_SHORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    hasPrinter = c.withPrinter;
    printer->printingElsewhere = c.printingElsewhere;
    const int lookups = printerLookups;
    const HTTPResponse a = answer(printRequest(c.body));
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(code(a), c.code);
    EXPECT_EQ(a.headers, corsHeaders);
    EXPECT_EQ(printerLookups, lookups + (c.looksForPrinter ? 1 : 0));
    EXPECT_FALSE(router.printing());
  }
  EXPECT_EQ(printer->jobs.size(), 0u);
}

TEST_F(RouterTest, PrinterFailures) {
  using Problem = PrinterStatus::Problem;
  struct Case {
    std::exception_ptr failure;
    int status;
    std::string body;
  };
  auto failure = [](SPPPrinterFailure f) { return std::make_exception_ptr(f); };
  const Case cases[] = {
      {failure(SPPPrinterFailure::notPaired("fc-0f-e7-00-00-01")), 503, R"({"code":"NO_PRINTER"})"},
      {failure(SPPPrinterFailure::openFailed(PrinterKit::kIOReturnTimeout)), 503,
       R"({"code":"PRINTER_ERROR"})"},
      {failure(SPPPrinterFailure::writeFailed(PrinterKit::kIOReturnNotOpen)), 503,
       R"({"code":"PRINTER_ERROR"})"},
      {failure(SPPPrinterFailure::busy(FakeBridgePrinter::ready())), 409, R"({"code":"BUSY"})"},
      {failure(SPPPrinterFailure::problem(Problem::coverOpen)), 409, R"({"code":"COVER_OPEN"})"},
      {failure(SPPPrinterFailure::problem(Problem::noCassette)), 409, R"({"code":"NO_CASSETTE"})"},
      {failure(SPPPrinterFailure::problem(Problem::unknown)), 409, R"({"code":"PRINTER_PROBLEM"})"},
      {failure(SPPPrinterFailure::unknownState(0x07)), 409, R"({"code":"PRINTER_PROBLEM"})"},
      {failure(SPPPrinterFailure::tapeMismatch(18, 12)), 409,
       R"({"code":"TAPE_MISMATCH","loadedMm":18})"},
      {failure(SPPPrinterFailure::tapeMismatch(std::nullopt, 12)), 409,
       R"({"code":"TAPE_MISMATCH"})"},
      {failure(SPPPrinterFailure::unsupportedTape(12)), 400, R"({"code":"UNSUPPORTED_TAPE"})"},
      {failure(SPPPrinterFailure::unreachable()), 503, R"({"code":"PRINTER_UNREACHABLE"})"},
      {failure(SPPPrinterFailure::bluetoothNotReady()), 503, R"({"code":"PRINTER_ERROR"})"},
      {failure(SPPPrinterFailure::noSerialPort()), 503, R"({"code":"PRINTER_ERROR"})"},
      {failure(SPPPrinterFailure::noReply()), 503, R"({"code":"PRINTER_ERROR"})"},
      {failure(SPPPrinterFailure::notATepraPro()), 503, R"({"code":"UNSUPPORTED_PRINTER"})"},
      {failure(SPPPrinterFailure::connectionLost()), 503, R"({"code":"CONNECTION_LOST"})"},
      {failure(SPPPrinterFailure::unconfirmed()), 504, R"({"code":"PRINT_UNCONFIRMED"})"},
      {std::make_exception_ptr(std::runtime_error("x")), 500, R"({"code":"PRINTER_ERROR"})"},
      {std::make_exception_ptr(42), 500, R"({"code":"PRINTER_ERROR"})"},
  };
  const Req print = printRequest(printBody(12, {labelPng(20, 144)}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    printer->printFailure = c.failure;
    printer->jobs.clear();
    const HTTPResponse a = answer(print);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(text(a.body), c.body);
    EXPECT_EQ(a.headers, corsHeaders);
    EXPECT_EQ(printer->jobs.size(), 1u);
    EXPECT_FALSE(router.printing());
  }
}

TEST_F(RouterTest, PrintsTheConvertedLabelsAsOneJob) {
  struct Case {
    int tapeMm;
    int dots;
    std::vector<std::string> pngs;
  };
  const Case cases[] = {
      {18, 216, {labelPng(30, 216), labelPng(7, 300), labelPng(1, 216)}},
      {24, 256, std::vector<std::string>(50, labelPng(3, 256))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tapeMm);
    printer->jobs.clear();
    const HTTPResponse a = answer(printRequest(printBody(c.tapeMm, c.pngs)));
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(text(a.body), R"({"printed":)" + std::to_string(c.pngs.size()) + "}");
    EXPECT_EQ(a.headers, corsHeaders);
    ASSERT_EQ(printer->jobs.size(), 1u);
    EXPECT_EQ(printer->jobs[0].tapeMm, c.tapeMm);
    std::vector<PrinterKit::RasterLabel> expected;
    for (const std::string& png : c.pngs) {
      expected.push_back(PrinterKit::LabelBitmap(decodeBase64(png).value()).columns(c.dots));
    }
    EXPECT_TRUE(printer->jobs[0].labels == expected);
  }
}

TEST_F(RouterTest, OnePrintAtATime) {
  Gate gate;
  printer->printGate = gate.future();
  printer->last = FakeBridgePrinter::ready(12);
  const Req print = printRequest(printBody(12, {labelPng(20, 144)}));

  // Sent together: both bodies decode off the main thread; the first to finish goes ahead.
  QCoro::Task<HTTPResponse> first = router.handle(build(print));
  QCoro::Task<HTTPResponse> second = router.handle(build(print));
  ASSERT_TRUE(runUntil([&] { return first.isReady() || second.isReady(); }));
  const bool firstRefused = first.isReady();
  const std::optional<HTTPResponse> refused = runTask(std::move(firstRefused ? first : second));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 409);
  EXPECT_EQ(code(*refused), "BUSY");

  // While the accepted one prints: another print is refused, and a status shows the print
  // without asking the printer.
  ASSERT_TRUE(runUntil([&] { return printer->jobs.size() == 1; }));
  EXPECT_EQ(code(answer(print)), "BUSY");
  const Json::Value status = json(answer({}));
  ASSERT_NE(status.find("printer"), nullptr);
  EXPECT_EQ(Json::write(*status.find("printer")),
            R"({"connected":true,"name":"SR-MK1 Office","state":"printing","tapeMm":12})");
  EXPECT_TRUE(printer->statusTimeouts.empty());

  gate.open();
  const std::optional<HTTPResponse> accepted = runTask(std::move(firstRefused ? second : first));
  ASSERT_TRUE(accepted);
  EXPECT_EQ(text(accepted->body), R"({"printed":1})");
  EXPECT_FALSE(router.printing());

  // Once it has answered, a new print goes ahead.
  EXPECT_EQ(answer(print).status, 200);
  EXPECT_EQ(printer->jobs.size(), 2u);
}

TEST_F(RouterTest, AnswersWhileALargePrintConverts) {
  Gate gate;
  printer->printGate = gate.future();
  // As many of the longest labels for the widest tape as one request may hold.
  const Req large = printRequest(printBody(24, std::vector<std::string>(50, labelPng(2835, 256))));
  QCoro::Task<HTTPResponse> print = router.handle(build(large));
  ASSERT_TRUE(runUntil([&] { return router.printing(); }, 60s));

  // The labels convert off the main thread, which answers a status meanwhile: the print has not
  // reached the printer yet.
  const Json::Value status = json(answer({}));
  ASSERT_NE(status.find("printer"), nullptr);
  EXPECT_EQ(Json::write(*status.find("printer")->find("state")), R"("printing")");
  EXPECT_TRUE(printer->jobs.empty());
  EXPECT_EQ(code(answer(printRequest(printBody(12, {labelPng(20, 144)})), 60s)), "BUSY");

  gate.open();
  const std::optional<HTTPResponse> done = runTask(std::move(print), 120s);
  ASSERT_TRUE(done);
  EXPECT_EQ(text(done->body), R"({"printed":50})");
}

TEST_F(RouterTest, APrintClearsTheStatusCache) {
  const Req print = printRequest(printBody(12, {labelPng(20, 144)}));

  // A body made before a print is not reused after it, however fresh.
  answer({});
  EXPECT_EQ(answer(print).status, 200);
  answer({});
  EXPECT_EQ(printer->statusTimeouts.size(), 2u);

  // Nor is a body whose printer query was under way while a print ran: it may show the printer
  // as it was before the print.
  Gate statusGate;
  printer->statusGate = statusGate.future();
  now += 100;
  QCoro::Task<HTTPResponse> slow = router.handle(build({}));
  EXPECT_EQ(answer(print).status, 200);  // a status query does not hold a print back
  statusGate.open();
  const std::optional<HTTPResponse> slowAnswer = runTask(std::move(slow));
  ASSERT_TRUE(slowAnswer);
  EXPECT_EQ(slowAnswer->status, 200);
  answer({});
  EXPECT_EQ(printer->statusTimeouts.size(), 4u);
}

}  // namespace
}  // namespace BridgeKit
