#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BridgeKit/Base64.h"
#include "BridgeKit/HTTPRequest.h"
#include "BridgeKit/HTTPResponse.h"
#include "BridgeKit/Router.h"
#include "Json/Value.h"
#include "support/FakeBridgePrinter.h"
#include "support/PngWriter.h"
#include "support/RunTask.h"

namespace BridgeKit {

inline const std::string kOrigin = "https://app.example";

// A request as the browser sends it; tables fill in only what differs.
struct Req {
  std::string method = "GET";
  std::string target = "/v1/status";
  std::string body{};
  std::optional<std::string> host = "127.0.0.1:52719";
  std::optional<std::string> origin = kOrigin;
};

// The request written as bytes and read back by the HTTP parser, as the listener hands it over.
inline HTTPRequest build(const Req& r) {
  std::string wire = r.method + " " + r.target + " HTTP/1.1\r\n";
  if (r.host) wire += "Host: " + *r.host + "\r\n";
  if (r.origin) wire += "Origin: " + *r.origin + "\r\n";
  if (!r.body.empty()) {
    wire += "Content-Type: application/json\r\nContent-Length: " + std::to_string(r.body.size()) +
            "\r\n";
  }
  wire += "\r\n" + r.body;
  const HTTPRequest::Parse parsed = HTTPRequest::parse(wire);
  EXPECT_NE(parsed.done(), nullptr) << parsed;
  return parsed.done() != nullptr ? *parsed.done() : HTTPRequest();
}

inline std::string text(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

using Headers = std::vector<std::pair<std::string, std::string>>;

// The headers of a JSON answer, with the CORS pair for `corsOrigin` when it is given.
inline Headers jsonHeaders(std::optional<std::string> corsOrigin) {
  Headers h = {{"Content-Type", "application/json"}};
  if (corsOrigin) {
    h.emplace_back("Access-Control-Allow-Origin", *corsOrigin);
    h.emplace_back("Vary", "Origin");
  }
  return h;
}

// The answer's JSON body; null when it has none or it is not JSON.
inline Json::Value json(const HTTPResponse& response) {
  return Json::parse(text(response.body)).value_or(Json::Value());
}

// The error code of an answer; empty when it has none.
inline std::string code(const HTTPResponse& response) {
  const Json::Value body = json(response);
  const Json::Value* c = body.find("code");
  return c != nullptr && c->asString() != nullptr ? *c->asString() : "";
}

// A label image as the web page sends it: a PNG in base64, `width` columns along the tape and
// `height` rows across it, black with a white diagonal so that its raster lines differ.
inline std::string labelPng(int width, int height) {
  TestSupport::PngImage image =
      TestSupport::PngImage::filled(width, height, TestSupport::PngImage::gray, 8, {0});
  for (int i = 0; i < width && i < height; ++i) image.set(i, i, {255});
  return encodeBase64(TestSupport::writePng(image));
}

// The JSON body of a print request.
inline std::string printBody(std::int64_t tapeMm, const std::vector<std::string>& pngs) {
  Json::Array labels;
  for (const std::string& png : pngs) labels.push_back(Json::Object{{"png", png}});
  return Json::write(Json::Object{{"tapeMm", tapeMm}, {"labels", std::move(labels)}}).value();
}

// A Router with a scripted printer, a clock the test moves, and a count of the times the router
// asked for its printer.
class RouterTest : public ::testing::Test {
 protected:
  std::shared_ptr<TestSupport::FakeBridgePrinter> printer =
      std::make_shared<TestSupport::FakeBridgePrinter>();
  bool hasPrinter = true;
  int printerLookups = 0;
  double now = 1000.0;
  Router router{"1.4.2",
                {kOrigin, "http://localhost:5173"},
                [this]() -> std::shared_ptr<BridgePrinter> {
                  ++printerLookups;
                  if (!hasPrinter) return nullptr;
                  return printer;
                },
                [this] { return now; }};

  // The answer to one request, run to its end.
  HTTPResponse answer(const Req& r,
                      std::chrono::milliseconds timeout = TestSupport::defaultTimeout) {
    std::optional<HTTPResponse> a = TestSupport::runTask(router.handle(build(r)), timeout);
    return a.value_or(HTTPResponse{});
  }
};

}  // namespace BridgeKit
