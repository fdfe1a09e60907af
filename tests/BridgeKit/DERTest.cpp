#include "BridgeKit/DER.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace BridgeKit {
namespace {

using Bytes = DER::Bytes;
using namespace std::chrono;

Bytes filled(std::size_t count) { return Bytes(count, 0xAB); }

Bytes head(const Bytes& value, std::size_t count) {
  return Bytes(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(count));
}

TEST(DERTest, LengthFormsAroundTheirLimits) {
  struct Case {
    std::size_t length;
    Bytes head;
  } cases[] = {
      {0, {0x04, 0x00}},
      {127, {0x04, 0x7F}},
      {128, {0x04, 0x81, 0x80}},
      {255, {0x04, 0x81, 0xFF}},
      {256, {0x04, 0x82, 0x01, 0x00}},
      {65535, {0x04, 0x82, 0xFF, 0xFF}},
      {65536, {0x04, 0x83, 0x01, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    const Bytes value = DER::tlv(0x04, filled(c.length));
    ASSERT_EQ(value.size(), c.head.size() + c.length) << c.length;
    EXPECT_EQ(head(value, c.head.size()), c.head) << c.length;
    EXPECT_EQ(value.back() == 0xAB, c.length > 0) << c.length;
  }
}

TEST(DERTest, ObjectIdentifiers) {
  struct Case {
    const char* text;
    Bytes der;
  } cases[] = {
      {"2.5.29.17", {0x06, 0x03, 0x55, 0x1D, 0x11}},
      {"1.2.840.10045.2.1", {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01}},
      {"1.2.840.10045.4.3.2", {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}},
      {"1.3.6.1.5.5.7.3.1", {0x06, 0x08, 0x2B, 0x06, 0x01, 0x05, 0x05, 0x07, 0x03, 0x01}},
      {"2.5.4.128", {0x06, 0x04, 0x55, 0x04, 0x81, 0x00}},
      {"2.5.4.127", {0x06, 0x03, 0x55, 0x04, 0x7F}},
      {"2.5.16383", {0x06, 0x03, 0x55, 0xFF, 0x7F}},
      {"2.5.16384", {0x06, 0x04, 0x55, 0x81, 0x80, 0x00}},
      {".2..5.29.17.", {0x06, 0x03, 0x55, 0x1D, 0x11}},  // empty pieces are skipped
      {"1.2.18446744073709551615",
       {0x06, 0x0B, 0x2A, 0x81, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
  };
  for (const Case& c : cases) EXPECT_EQ(DER::oid(c.text), c.der) << c.text;
}

TEST(DERTest, IntegerSignRules) {
  struct Case {
    Bytes magnitude;
    Bytes der;
  } cases[] = {
      {{0x00, 0x00, 0x7F}, {0x02, 0x01, 0x7F}},
      {{0x00, 0x80}, {0x02, 0x02, 0x00, 0x80}},
      {{0x80}, {0x02, 0x02, 0x00, 0x80}},
      {{0x00}, {0x02, 0x01, 0x00}},
      {{0x00, 0x00}, {0x02, 0x01, 0x00}},
      {{0x02}, {0x02, 0x01, 0x02}},
      {{0x7F, 0xFF}, {0x02, 0x02, 0x7F, 0xFF}},
      {{0x00, 0x00, 0xFF, 0x00}, {0x02, 0x03, 0x00, 0xFF, 0x00}},
      {{}, {0x02, 0x00}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DER::integer(c.magnitude), c.der) << testing::PrintToString(c.magnitude);
  }
}

TEST(DERTest, StringsAndBitStrings) {
  EXPECT_EQ(DER::utf8("localhost"),
            (Bytes{0x0C, 0x09, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'}));
  EXPECT_EQ(DER::utf8("\xC3\xA9"), (Bytes{0x0C, 0x02, 0xC3, 0xA9}));
  EXPECT_EQ(DER::bitString(Bytes{}), (Bytes{0x03, 0x01, 0x00}));
  EXPECT_EQ(DER::bitString(Bytes{0x04, 0xFF}), (Bytes{0x03, 0x03, 0x00, 0x04, 0xFF}));
}

std::string timeText(const Bytes& value) { return std::string(value.begin() + 2, value.end()); }

// Sets the process's local time zone for the life of the object.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~LocalZone() {
    if (old_.empty()) {
      unsetenv("TZ");
    } else {
      setenv("TZ", old_.c_str(), 1);
    }
    tzset();
  }

 private:
  std::string old_;
};

TEST(DERTest, TimeSwitchesToGeneralizedTimeIn2050InUTCWhateverTheLocalZone) {
  const auto at = [](int y, unsigned m, unsigned d, int h, int min, int s) {
    return system_clock::time_point(sys_days{year{y} / m / d} + hours{h} + minutes{min} +
                                    seconds{s});
  };
  struct Case {
    system_clock::time_point moment;
    std::uint8_t tag;
    const char* text;
  } cases[] = {
      {at(2049, 12, 31, 23, 59, 59), 0x17, "491231235959Z"},
      {at(2050, 1, 1, 0, 0, 0), 0x18, "20500101000000Z"},
      {at(2026, 3, 4, 5, 6, 7) + milliseconds{999}, 0x17, "260304050607Z"},
      {at(2000, 1, 1, 0, 0, 0), 0x17, "000101000000Z"},
      {at(1999, 12, 31, 12, 0, 0), 0x17, "991231120000Z"},
      {at(2262, 2, 28, 1, 2, 3), 0x18, "22620228010203Z"},
      {at(1970, 1, 1, 0, 0, 0) - seconds{1}, 0x17, "691231235959Z"},
  };
  // Kiritimati is 14 hours east of UTC: 2049-12-31 10:00 UTC is already 2050 there.
  for (const char* zone : {"UTC", "Pacific/Kiritimati", "America/Los_Angeles"}) {
    LocalZone local(zone);
    for (const Case& c : cases) {
      const Bytes value = DER::time(c.moment);
      ASSERT_GE(value.size(), 2u);
      EXPECT_EQ(value[0], c.tag) << c.text << " in " << zone;
      EXPECT_EQ(value[1], value.size() - 2) << c.text << " in " << zone;
      EXPECT_EQ(timeText(value), c.text) << " in " << zone;
    }
    EXPECT_EQ(timeText(DER::time(at(2049, 12, 31, 10, 0, 0))), "491231100000Z") << zone;
  }
}

TEST(DERTest, ImpossibleInputsStopTheProgram) {
  EXPECT_DEATH(DER::oid("2"), "precondition failed");
  EXPECT_DEATH(DER::oid("2.5.x"), "precondition failed");
  EXPECT_DEATH(DER::oid("7.0"), "precondition failed");
  EXPECT_DEATH(DER::oid("2.176"), "precondition failed");
  EXPECT_DEATH(DER::oid("1.18446744073709551615"), "precondition failed");
}

}  // namespace
}  // namespace BridgeKit
