#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Json/Value.h"

namespace Json {
namespace {

using namespace std::string_literals;

struct WriteCase {
  Value value;
  std::string expected;
};

TEST(JsonWriter, WritesExactBytes) {
  constexpr auto int64Max = std::numeric_limits<std::int64_t>::max();
  constexpr auto int64Min = std::numeric_limits<std::int64_t>::min();
  const std::vector<WriteCase> cases = {
      {Value(), "null"},
      {Value(true), "true"},
      {Value(false), "false"},
      {Value(0), "0"},
      {Value(-42), "-42"},
      {Value(int64Max), "9223372036854775807"},
      {Value(int64Min), "-9223372036854775808"},
      {Value(std::uint8_t{255}), "255"},
      {Value(0.5), "0.5"},
      {Value(0.1), "0.1"},
      {Value(-2.25e-7), "-2.25e-07"},
      {Value(1e21), "1e+21"},
      {Value(5e-324), "5e-324"},
      {Value(1.7976931348623157e308), "1.7976931348623157e+308"},
      // Integral doubles keep a fraction so they read back as doubles.
      {Value(1.0), "1.0"},
      {Value(-0.0), "-0.0"},
      {Value(9007199254740992.0), "9007199254740992.0"},
      {Value(""), R"("")"},
      {Value("plain text"), R"("plain text")"},
      {Value("\"\\/\b\f\n\r\t"), R"("\"\\\/\b\f\n\r\t")"},
      {Value("a/b//c"), R"("a\/b\/\/c")"},
      {Value("\x01\x1f"), R"("\u0001\u001f")"},
      {Value("\x1b[0m"), R"("\u001b[0m")"},
      {Value("nul\0byte"s), R"("nul\u0000byte")"},
      {Value("\x7f"), "\"\x7f\""},
      {Value("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"),
       "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
      {Value(Array{}), "[]"},
      {Value(Object{}), "{}"},
      {Value(Array{1, "a", nullptr, Array{true}, Object{}}), R"([1,"a",null,[true],{}])"},
      // Members come in byte order of their keys: upper case before lower case, UTF-8 last.
      {Value(Object{{"b", 1}, {"a", 2}, {"B", 3}, {"\xC3\xA9", 4}, {"aa", 5}}),
       "{\"B\":3,\"a\":2,\"aa\":5,\"b\":1,\"\xC3\xA9\":4}"},
      {Value(Object{{"a/b", "\n"}, {"", Array{}}}), R"({"":[],"a\/b":"\n"})"},
      {Value(Object{{"code", "TAPE_MISMATCH"}, {"loadedMm", 12}, {"list", Array{9, 12.5}}}),
       R"({"code":"TAPE_MISMATCH","list":[9,12.5],"loadedMm":12})"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(write(c.value), std::optional<std::string>(c.expected)) << c.expected;
  }
}

TEST(JsonWriter, SetIfPresentLeavesAbsentKeysOut) {
  Object o;
  setIfPresent(o, "tapeMm", std::optional<int>(12));
  setIfPresent(o, "problem", std::optional<std::string>());
  setIfPresent(o, "loadedMm", std::optional<int>());
  setIfPresent(o, "code", std::optional<std::string>("BUSY"));
  EXPECT_EQ(write(Value(o)), std::optional<std::string>(R"({"code":"BUSY","tapeMm":12})"));

  // A present value replaces an earlier one.
  setIfPresent(o, "tapeMm", std::optional<int>(24));
  EXPECT_EQ(write(Value(o)), std::optional<std::string>(R"({"code":"BUSY","tapeMm":24})"));
}

TEST(JsonWriter, RefusesWhatCannotBeEncoded) {
  const std::vector<std::string> badTexts = {
      "\x80",                           // continuation byte first
      "ab\xC3",                         // sequence cut short at the end
      "\xC3(",                          // sequence cut short by ASCII
      "\xC0\xAF",                       // overlong "/"
      "\xED\xA0\x80",                   // UTF-16 surrogate
      "\xF4\x90\x80\x80",               // above U+10FFFF
      "\xFF",                           // never valid
      "ok \xE2\x82\xAC then \xE2\x82",  // valid text before a cut sequence
  };
  for (const std::string& bad : badTexts) {
    EXPECT_EQ(write(Value(bad)), std::nullopt) << "value " << bad;
    EXPECT_EQ(write(Value(Object{{bad, 1}})), std::nullopt) << "key " << bad;
    EXPECT_EQ(write(Value(Array{1, Object{{"a", Array{"ok", bad}}}})), std::nullopt)
        << "nested " << bad;
  }
  for (double d :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(write(Value(d)), std::nullopt) << d;
    EXPECT_EQ(write(Value(Object{{"z", Array{d}}})), std::nullopt) << d;
  }
}

// Nests `depth` arrays around 0, alternating with objects.
Value nested(int depth) {
  Value v(0);
  for (int i = 0; i < depth; ++i) {
    if (i % 2 == 0) {
      Array a;
      a.push_back(std::move(v));
      v = Value(std::move(a));
    } else {
      Object o;
      o.emplace("k", std::move(v));
      v = Value(std::move(o));
    }
  }
  return v;
}

TEST(JsonWriter, NestingUpToMaxDepth) {
  const std::optional<std::string> deepest = write(nested(maxDepth));
  ASSERT_TRUE(deepest.has_value());
  EXPECT_TRUE(parse(*deepest) == nested(maxDepth));
  EXPECT_EQ(write(nested(maxDepth + 1)), std::nullopt);
}

}  // namespace
}  // namespace Json
