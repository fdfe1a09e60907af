#include "BridgeKit/HTTPResponse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "Json/Value.h"

namespace BridgeKit {
namespace {

std::string text(const std::vector<std::uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }
std::vector<std::uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(HTTPResponseTest, Serializes) {
  struct Case {
    const char* what;
    HTTPResponse response;
    std::string wire;
  };
  const Case cases[] = {
      {"no headers, no body",
       {204, {}, {}},
       "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\nCache-Control: no-store\r\n"
       "Connection: close\r\n\r\n"},
      {"status outside the table",
       {504, {}, bytes("x")},
       "HTTP/1.1 504 Status\r\nContent-Length: 1\r\nCache-Control: no-store\r\n"
       "Connection: close\r\n\r\nx"},
      {"own headers first, in order, duplicates kept, written unchanged",
       {403,
        {{"vary", "Origin"}, {"X-A", " 1 "}, {"vary", "Origin"}},
        bytes(std::string("\0\r\n", 3))},
       "HTTP/1.1 403 Forbidden\r\nvary: Origin\r\nX-A:  1 \r\nvary: Origin\r\n"
       "Content-Length: 3\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" +
           std::string("\0\r\n", 3)},
      {"JSON body counted in bytes",
       HTTPResponse::json(200, Json::Object{{"name", "\xc3\x84\xe2\x82\xac"}}),
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 16\r\n"
       "Cache-Control: no-store\r\nConnection: close\r\n\r\n{\"name\":\"\xc3\x84\xe2\x82\xac\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(text(c.response.serialized()), c.wire);
  }
}

TEST(HTTPResponseTest, ReasonPhrases) {
  const std::pair<std::int64_t, std::string_view> cases[] = {
      {200, "OK"},
      {204, "No Content"},
      {400, "Bad Request"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {405, "Method Not Allowed"},
      {409, "Conflict"},
      {411, "Length Required"},
      {413, "Payload Too Large"},
      {421, "Misdirected Request"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {503, "Service Unavailable"},
      {504, "Status"},
      {201, "Status"},
      {0, "Status"},
      {-200, "Status"},
      {std::numeric_limits<std::int64_t>::min(), "Status"},
  };
  for (const auto& [status, phrase] : cases) {
    EXPECT_EQ(HTTPResponse::reason(status), phrase) << status;
  }
  // The status is written in decimal whatever its size.
  const HTTPResponse extreme{std::numeric_limits<std::int64_t>::min(), {}, {}};
  EXPECT_TRUE(text(extreme.serialized()).starts_with("HTTP/1.1 -9223372036854775808 Status\r\n"));
}

TEST(HTTPResponseTest, JsonOfAnUnencodableValueIsAnEmptyObject) {
  const Json::Value values[] = {
      Json::Value(std::string("\xff")),
      Json::Value(Json::Object{{"ok", 1}, {"bad", std::nan("")}}),
  };
  for (const Json::Value& value : values) {
    EXPECT_EQ(HTTPResponse::json(503, value),
              (HTTPResponse{503, {{"Content-Type", "application/json"}}, bytes("{}")}));
  }
}

struct Body {
  std::optional<int> count;
  std::string code;
  std::optional<std::string> error;
};

Json::Value toJson(const Body& body) {
  Json::Object o{{"code", body.code}};
  Json::setIfPresent(o, "count", body.count);
  Json::setIfPresent(o, "error", body.error);
  return o;
}

TEST(HTTPResponseTest, JsonOfAValueWithToJson) {
  EXPECT_EQ(
      HTTPResponse::json(409, Body{3, "BUSY", std::nullopt}),
      (HTTPResponse{
          409, {{"Content-Type", "application/json"}}, bytes("{\"code\":\"BUSY\",\"count\":3}")}));
  EXPECT_EQ(text(HTTPResponse::json(200, Body{std::nullopt, "a/b", "x"}).body),
            "{\"code\":\"a\\/b\",\"error\":\"x\"}");
}

}  // namespace
}  // namespace BridgeKit
