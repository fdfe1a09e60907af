#include "BridgeKit/PrintRequest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace BridgeKit {
namespace {

using namespace std::literals;

std::optional<PrintRequest> decode(std::string_view body) {
  return PrintRequest::decode(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
}

PrintRequest request(std::int64_t tapeMm, std::vector<std::string> pngs) {
  PrintRequest r;
  r.tapeMm = tapeMm;
  for (std::string& png : pngs) r.labels.push_back({std::move(png)});
  return r;
}

struct Case {
  std::string_view body;
  std::optional<PrintRequest> expected;
};

TEST(PrintRequestTest, DecodesValidBodies) {
  const Case cases[] = {
      {R"({"tapeMm":12,"labels":[{"png":"QUJD"},{"png":"REVG"}]})", request(12, {"QUJD", "REVG"})},
      {" \r\n\t{ \"labels\" : [ ] , \"tapeMm\" : 9 } \n", request(9, {})},
      // Whole numbers in any JSON form; the tape table decides later whether the width exists.
      {R"({"tapeMm":18.0,"labels":[]})", request(18, {})},
      {R"({"tapeMm":1.8e1,"labels":[]})", request(18, {})},
      {R"({"tapeMm":180E-1,"labels":[]})", request(18, {})},
      {R"({"tapeMm":-0.0,"labels":[]})", request(0, {})},
      {R"({"tapeMm":-5,"labels":[]})", request(-5, {})},
      {R"({"tapeMm":9223372036854775807,"labels":[]})", request(INT64_MAX, {})},
      {R"({"tapeMm":-9223372036854775808,"labels":[]})", request(INT64_MIN, {})},
      {R"({"tapeMm":-9.223372036854775808e18,"labels":[]})", request(INT64_MIN, {})},
      // Other keys are ignored at both levels, whatever their value.
      {R"({"tapeMm":24,"copies":3,"labels":[{"png":"","name":null,"x":[1]}],"z":{}})",
       request(24, {""})},
      // The text as JSON means it: escapes are undone, nothing else is checked here.
      {R"({"tapeMm":24,"labels":[{"png":"ab\/c\u0041"},{"png":"not base64 at all\n"}]})",
       request(24, {"ab/cA", "not base64 at all\n"})},
      // A repeated key keeps its last value.
      {R"({"tapeMm":"x","tapeMm":9,"labels":[]})", request(9, {})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.body));
    EXPECT_EQ(decode(c.body), c.expected);
  }
}

TEST(PrintRequestTest, RefusesInvalidBodies) {
  const std::string_view cases[] = {
      "",
      " ",
      "null",
      "[]",
      R"([{"tapeMm":12,"labels":[]}])",
      R"("{\"tapeMm\":12,\"labels\":[]}")",
      R"({"tapeMm":12,"labels":[]} {})",  // two values
      "{\"tapeMm\":12,\"labels\":[]}\0"sv,
      R"({"tapeMm":12,"labels":[)",
      "{\"tapeMm\":12,\"labels\":[],\"x\":\"\xff\"}",  // invalid UTF-8 in an ignored key
      // Missing keys, or keys in the wrong case.
      "{}",
      R"({"labels":[]})",
      R"({"tapeMm":12})",
      R"({"TapeMm":12,"labels":[]})",
      R"({"tapeMm":12,"Labels":[]})",
      // tapeMm not a whole number.
      R"({"tapeMm":18.5,"labels":[]})",
      R"({"tapeMm":1e-300,"labels":[]})",
      R"({"tapeMm":"18","labels":[]})",
      R"({"tapeMm":true,"labels":[]})",
      R"({"tapeMm":null,"labels":[]})",
      R"({"tapeMm":[18],"labels":[]})",
      R"({"tapeMm":{},"labels":[]})",
      // Whole, but beyond int64.
      R"({"tapeMm":9223372036854775808,"labels":[]})",
      R"({"tapeMm":-9.3e18,"labels":[]})",
      R"({"tapeMm":1e19,"labels":[]})",
      R"({"tapeMm":-1e300,"labels":[]})",
      // labels not a list.
      R"({"tapeMm":12,"labels":null})",
      R"({"tapeMm":12,"labels":{"png":"QUJD"}})",
      R"({"tapeMm":12,"labels":"QUJD"})",
      // A label not an object with a text png; one bad label spoils the request.
      R"({"tapeMm":12,"labels":["QUJD"]})",
      R"({"tapeMm":12,"labels":[null]})",
      R"({"tapeMm":12,"labels":[[{"png":"QUJD"}]]})",
      R"({"tapeMm":12,"labels":[{}]})",
      R"({"tapeMm":12,"labels":[{"PNG":"QUJD"}]})",
      R"({"tapeMm":12,"labels":[{"png":null}]})",
      R"({"tapeMm":12,"labels":[{"png":7}]})",
      R"({"tapeMm":12,"labels":[{"png":["QUJD"]}]})",
      R"({"tapeMm":12,"labels":[{"png":"QUJD"},{"png":false}]})",
      R"({"tapeMm":12,"labels":[{"png":"QUJD"},{"png":"REVG"},1]})",
  };
  for (std::string_view body : cases) {
    SCOPED_TRACE(std::string(body));
    EXPECT_EQ(decode(body), std::nullopt);
  }
}

}  // namespace
}  // namespace BridgeKit
