#include "BridgeKit/Base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace BridgeKit {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view text) { return {text.begin(), text.end()}; }

struct Accepted {
  std::string text;
  std::string decoded;
};

TEST(Base64Test, DecodesStandardPaddedText) {
  const Accepted cases[] = {
      // RFC 4648 section 10.
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      // The two characters that differ from the URL-safe alphabet, and the extremes.
      {"+/+/", "\xfb\xff\xbf"},
      {"AAAA", std::string(3, '\0')},
      {"////", "\xff\xff\xff"},
      // Non-zero unused bits of the last group carry no data and are ignored.
      {"Zh==", "f"},
      {"Zm9=", "fo"},
      {"Zm9vYv==", "foob"},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(decodeBase64(c.text), bytes(c.decoded));
  }
}

TEST(Base64Test, RefusesAnythingElse) {
  const std::string_view cases[] = {
      "Zg",          // padding missing
      "Zm8",         // padding missing
      "Zm9vYg",      // padding missing
      "Zm9vYg=",     // padding short
      "Zg===",       // length not a multiple of 4
      "=",           //
      "====",        // padding only
      "Z===",        // three padding characters
      "Zg==Zm9v",    // padding in the middle
      "Zm=v",        // padding before a data character
      "=m9v",        //
      "Zm9v    ",    // white space, in whole groups
      " Zm9",        //
      "Zm9v\r\nYm",  // line break inside
      "Zm9vYm\r\n",  //
      "Zm9v\tYm=",   //
      "Zm9v ",       // trailing space
      "-_-_",        // URL-safe alphabet
      "Zm9v-A==",    //
      "Zm9v_A==",    //
      "data:image/png;base64,Zm9v",
      "Zm9\xc3\xa9",  // non-ASCII
      std::string_view("Zm\0v", 4),
      "Zm9v.g==",
  };
  for (std::string_view text : cases) {
    SCOPED_TRACE(std::string(text));
    EXPECT_EQ(decodeBase64(text), std::nullopt);
  }
}

// Every byte value in every position of the first and the last group: only the 64 characters of
// the alphabet are accepted, and '=' only as padding.
TEST(Base64Test, AcceptsExactlyTheAlphabet) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int c = 0; c < 256; ++c) {
    const bool inAlphabet = alphabet.find(static_cast<char>(c)) != std::string::npos;
    for (std::size_t position = 0; position < 8; ++position) {
      std::string text = "QUJDREVG";
      text[position] = static_cast<char>(c);
      SCOPED_TRACE(testing::Message() << "byte " << c << " at " << position);
      const bool padding = c == '=' && position == 7;  // "QUJDREV=" is "ABCDE"
      EXPECT_EQ(decodeBase64(text).has_value(), inAlphabet || padding);
    }
  }
}

TEST(Base64Test, EncodesCanonicallyAndRoundTrips) {
  EXPECT_EQ(encodeBase64(bytes("")), "");
  EXPECT_EQ(encodeBase64(bytes("f")), "Zg==");
  EXPECT_EQ(encodeBase64(bytes("fo")), "Zm8=");
  EXPECT_EQ(encodeBase64(bytes("foobar")), "Zm9vYmFy");

  std::mt19937 random(7);
  Bytes data;
  for (int size = 0; size < 100; ++size) {
    const std::string text = encodeBase64(data);
    EXPECT_EQ(text.size(), (data.size() + 2) / 3 * 4);
    EXPECT_EQ(decodeBase64(text), data) << text;
    data.push_back(static_cast<std::uint8_t>(random()));
  }
  Bytes every(3 * 256 * 4);
  for (std::size_t i = 0; i < every.size(); ++i) every[i] = static_cast<std::uint8_t>(i * 7 / 3);
  EXPECT_EQ(decodeBase64(encodeBase64(every)), every);
}

// Every prefix of a valid text is refused unless its length is a multiple of 4, and then it
// decodes to a prefix of the whole.
TEST(Base64Test, EveryPrefix) {
  const std::string text = "SGVsbG8sIGxhYmVsIHByaW50ZXIh";  // "Hello, label printer!"
  const Bytes whole = bytes("Hello, label printer!");
  ASSERT_EQ(decodeBase64(text), whole);
  for (std::size_t n = 0; n < text.size(); ++n) {
    SCOPED_TRACE(n);
    const std::optional<Bytes> decoded = decodeBase64(std::string_view(text).substr(0, n));
    ASSERT_EQ(decoded.has_value(), n % 4 == 0);
    if (decoded) {
      EXPECT_EQ(*decoded, Bytes(whole.begin(), whole.begin() + n / 4 * 3));
    }
  }
}

}  // namespace
}  // namespace BridgeKit
