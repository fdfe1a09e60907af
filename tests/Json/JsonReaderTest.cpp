#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "Json/Value.h"

namespace Json {

// Shows values in failure messages as their JSON text.
static void PrintTo(const Value& v, std::ostream* os) {
  *os << write(v).value_or("<not writable>");
}

namespace {

using namespace std::string_literals;

struct ReadCase {
  std::string text;
  Value expected;
};

TEST(JsonReader, AcceptsValidTexts) {
  constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
  constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
  const std::vector<ReadCase> cases = {
      {"null", Value()},
      {"true", Value(true)},
      {"false", Value(false)},
      {" \t\r\n 7 \t\r\n ", Value(7)},
      // Numbers: integral forms that fit int64 are integers, all others doubles.
      {"0", Value(0)},
      {"-0", Value(0)},
      {"1234567890", Value(1234567890)},
      {"9223372036854775807", Value(int64Max)},
      {"-9223372036854775808", Value(int64Min)},
      {"9223372036854775808", Value(9223372036854775808.0)},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"100000000000000000000000000000", Value(1e29)},
      {"1.0", Value(1.0)},
      {"-0.0", Value(-0.0)},
      {"0.5", Value(0.5)},
      {"-12.25", Value(-12.25)},
      {"1e2", Value(100.0)},
      {"1E+2", Value(100.0)},
      {"25e-2", Value(0.25)},
      {"0e0", Value(0.0)},
      {"0.1", Value(0.1)},
      {"5e-324", Value(5e-324)},
      {"1.7976931348623157e308", Value(1.7976931348623157e308)},
      // Strings.
      {R"("")", Value("")},
      {R"("abc")", Value("abc")},
      {R"("\"\\\/\b\f\n\r\t")", Value("\"\\/\b\f\n\r\t")},
      {R"("a/b")", Value("a/b")},
      {R"("\u0041\u00e9\u00E9\u20AC")", Value("A\xC3\xA9\xC3\xA9\xE2\x82\xAC")},
      {R"("\ud83d\ude00")", Value("\xF0\x9F\x98\x80")},
      {R"("\uDBFF\uDFFF")", Value("\xF4\x8F\xBF\xBF")},
      {R"("x\u0000y")", Value("x\0y"s)},
      {"\"caf\xC3\xA9 \xF0\x9F\x98\x80 \x7f\"", Value("caf\xC3\xA9 \xF0\x9F\x98\x80 \x7f")},
      // Arrays and objects.
      {"[]", Value(Array{})},
      {"[ \n ]", Value(Array{})},
      {"{}", Value(Object{})},
      {" { } ", Value(Object{})},
      {R"([1,"a",null,[true,[]],{}])",
       Value(Array{1, "a", nullptr, Array{true, Array{}}, Object{}})},
      {R"({ "b" : [ 1 , 2 ] , "a" : { "c" : null } })",
       Value(Object{{"a", Object{{"c", nullptr}}}, {"b", Array{1, 2}}})},
      {R"({"a":1,"b":2,"a":3})", Value(Object{{"a", 3}, {"b", 2}})},
      {R"({"":0,"\u00e9":1,"\/":2})", Value(Object{{"", 0}, {"\xC3\xA9", 1}, {"/", 2}})},
      {R"({"tapeMm":12,"labels":["iVBORw0KGgo="]})",
       Value(Object{{"labels", Array{"iVBORw0KGgo="}}, {"tapeMm", 12}})},
  };
  for (const ReadCase& c : cases) {
    EXPECT_EQ(parse(c.text), std::optional<Value>(c.expected)) << c.text;
    // Whatever was read is written so that it reads back the same, type included.
    const std::optional<std::string> written = write(c.expected);
    ASSERT_TRUE(written.has_value()) << c.text;
    EXPECT_EQ(parse(*written), std::optional<Value>(c.expected)) << c.text << " -> " << *written;
  }
}

TEST(JsonReader, RejectsInvalidTexts) {
  const std::vector<std::string> cases = {
      // Documents.
      "",
      " ",
      "\t\r\n",
      "1 2",
      "null null",
      "[1]x",
      "{}}",
      "[]]",
      "null\0"s,
      "\f1",
      "1\v",
      "\xEF\xBB\xBFnull",
      "/* c */ 1",
      "// c\n1",
      // Literals.
      "nul",
      "nulll",
      "NULL",
      "True",
      "fals",
      "truex",
      "undefined",
      // Numbers.
      "-",
      "+1",
      "01",
      "-01",
      "00",
      ".5",
      "-.5",
      "1.",
      "1.e3",
      "1e",
      "1e+",
      "1e-",
      "1E",
      "0x10",
      "1_000",
      "NaN",
      "-NaN",
      "Infinity",
      "-Infinity",
      "inf",
      "- 1",
      "1 .5",
      "1e400",
      "-1e400",
      "1e-400",
      "1" + std::string(400, '0') + ".0",
      // Strings.
      "\"",
      "\"abc",
      "'a'",
      "\"\\\"",
      "\"\x01\"",
      "\"\x1f\"",
      "\"a\tb\"",
      "\"a\nb\"",
      "\"\0\""s,
      R"("\x41")",
      R"("\a")",
      R"("\U0041")",
      R"("\u")",
      R"("\u12")",
      R"("\u12G4")",
      R"("\u 123")",
      R"("\ud83d")",
      R"("\ud83dx")",
      R"("\ud83d\u0041")",
      R"("\ud83d\ud83d")",
      R"("\ude00")",
      R"("\ude00\ud83d")",
      R"("\ud83d\")",
      "\"\x80\"",
      "\"\xC3\"",
      "\"\xC3(\"",
      "\"\xC0\xAF\"",
      "\"\xED\xA0\x80\"",
      "\"\xF4\x90\x80\x80\"",
      "\"\xFF\"",
      "\"\xF0\x9F\x98\"",
      // Arrays.
      "[",
      "]",
      "[1",
      "[1,",
      "[,1]",
      "[1,]",
      "[1 2]",
      "[1;2]",
      "[1}",
      "[[]",
      "[]]",
      // Objects.
      "{",
      "}",
      "{\"a\"",
      "{\"a\":",
      "{\"a\":1",
      "{\"a\"}",
      "{\"a\":}",
      "{\"a\" 1}",
      "{\"a\":1,}",
      "{,\"a\":1}",
      "{\"a\":1 \"b\":2}",
      "{a:1}",
      "{'a':1}",
      "{1:1}",
      "{null:1}",
      "{\"a\":1]",
      "{\"\xC3\":1}",
      "{\"a\"::1}",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(parse(text), std::nullopt) << text;
  }
}

TEST(JsonReader, RoundTripsToCompactSortedText) {
  struct RoundTrip {
    std::string text;
    std::string written;
  };
  const std::vector<RoundTrip> cases = {
      {" { \"b\" : [ 1 , 2.5 , -0.0 , 1E2 ] , \"a\" : null , \"B\" : true } ",
       R"({"B":true,"a":null,"b":[1,2.5,-0.0,100.0]})"},
      {R"("a/b\u00e9\u0001\ud83d\ude00")", "\"a\\/b\xC3\xA9\\u0001\xF0\x9F\x98\x80\""},
      {R"({"k":1,"k":{"k":[]}})", R"({"k":{"k":[]}})"},
      {"[-9223372036854775808,9223372036854775807,9223372036854775808]",
       "[-9223372036854775808,9223372036854775807,9223372036854775808.0]"},
  };
  for (const RoundTrip& c : cases) {
    const std::optional<Value> v = parse(c.text);
    ASSERT_TRUE(v.has_value()) << c.text;
    EXPECT_EQ(write(*v), std::optional<std::string>(c.written)) << c.text;
  }
}

TEST(JsonReader, NestingLimit) {
  for (const auto& [open, close] : {std::pair{"[", "]"}, std::pair{"{\"k\":", "}"}}) {
    std::string atLimit;
    for (int i = 0; i < maxDepth; ++i) atLimit += open;
    atLimit += "0";
    for (int i = 0; i < maxDepth; ++i) atLimit += close;
    EXPECT_TRUE(parse(atLimit).has_value()) << atLimit;
    EXPECT_EQ(parse(open + atLimit + close), std::nullopt) << atLimit;
  }
  // Far beyond the limit, closed or not: refused without exhausting the stack.
  EXPECT_EQ(parse(std::string(1'000'000, '[')), std::nullopt);
  EXPECT_EQ(parse(std::string(100'000, '[') + std::string(100'000, ']')), std::nullopt);
}

TEST(JsonReader, EveryPrefixOfADocumentIsRejected) {
  struct Document {
    std::string text;
    std::set<std::string> validPrefixes;  // prefixes that are documents themselves
  };
  const std::vector<Document> documents = {
      {R"({"a":[true,false,null,-1.5e-3,"x\u00e9\ud83d\ude00\n"],"b":{"c":{}}})", {}},
      {"[\"caf\xC3\xA9\",[],{\"\":\"\xF0\x9F\x98\x80\"}]", {}},
      {"  [ 1 , \"\\/\" ]", {}},
      {"\"\\uD83D\\uDE00\"", {}},
      {"-12.5e+3", {"-1", "-12", "-12.5", "-12.5e+3"}},
      {"10E-2", {"1", "10", "10E-2"}},
  };
  for (const Document& d : documents) {
    ASSERT_TRUE(parse(d.text).has_value()) << d.text;
    for (std::size_t n = 0; n < d.text.size(); ++n) {
      const std::string prefix = d.text.substr(0, n);
      EXPECT_EQ(parse(prefix).has_value(), d.validPrefixes.count(prefix) == 1) << prefix;
    }
  }
}

}  // namespace
}  // namespace Json
