#include "BridgeKit/DER.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "Base/Require.h"

namespace BridgeKit::DER {

Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> content) {
  KELM_REQUIRE(content.size() <= std::numeric_limits<std::uint32_t>::max());
  const auto length = static_cast<std::uint32_t>(content.size());
  Bytes out;
  out.reserve(content.size() + 6);
  out.push_back(tag);
  if (length <= 127) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else {
    std::uint8_t be[4] = {
        static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
        static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)};
    int first = 0;
    while (be[first] == 0) ++first;  // length > 127, so some byte is non-zero
    out.push_back(static_cast<std::uint8_t>(0x80 + (4 - first)));
    out.insert(out.end(), be + first, be + 4);
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

namespace {

void appendBase128(Bytes& out, std::uint64_t arc) {
  std::uint8_t groups[10];
  int n = 0;
  do {
    groups[n++] = static_cast<std::uint8_t>(arc & 0x7F);
    arc >>= 7;
  } while (arc != 0);
  while (n > 1) out.push_back(static_cast<std::uint8_t>(groups[--n] | 0x80));
  out.push_back(groups[0]);
}

}  // namespace

Bytes oid(std::string_view text) {
  std::vector<std::uint64_t> arcs;
  while (!text.empty()) {
    const auto dot = text.find('.');
    const std::string_view piece = text.substr(0, dot);
    text = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
    if (piece.empty()) continue;
    std::uint64_t arc = 0;
    const auto [end, error] = std::from_chars(piece.data(), piece.data() + piece.size(), arc);
    KELM_REQUIRE(error == std::errc{} && end == piece.data() + piece.size());
    arcs.push_back(arc);
  }
  KELM_REQUIRE(arcs.size() >= 2);
  KELM_REQUIRE(arcs[0] <= 6 && arcs[1] <= 255 - 40 * arcs[0]);
  Bytes content{static_cast<std::uint8_t>(40 * arcs[0] + arcs[1])};
  for (std::size_t i = 2; i < arcs.size(); ++i) appendBase128(content, arcs[i]);
  return tlv(0x06, content);
}

Bytes utf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  return tlv(0x0C, std::span(bytes, text.size()));
}

Bytes integer(std::span<const std::uint8_t> magnitude) {
  while (magnitude.size() >= 2 && magnitude[0] == 0x00 && (magnitude[1] & 0x80) == 0) {
    magnitude = magnitude.subspan(1);
  }
  Bytes content;
  if (!magnitude.empty() && (magnitude[0] & 0x80) != 0) content.push_back(0x00);
  content.insert(content.end(), magnitude.begin(), magnitude.end());
  return tlv(0x02, content);
}

Bytes time(std::chrono::system_clock::time_point moment) {
  using namespace std::chrono;
  const auto second = floor<seconds>(moment);
  const auto day = floor<days>(second);
  const year_month_day date{day};
  const hh_mm_ss clock{second - day};
  const int year = static_cast<int>(date.year());
  KELM_REQUIRE(date.ok() && year >= 0 && year <= 9999);
  const bool generalized = year > 2049;
  char text[16];
  const int written = std::snprintf(
      text, sizeof text, "%0*d%02u%02u%02d%02d%02dZ", generalized ? 4 : 2,
      generalized ? year : year % 100, static_cast<unsigned>(date.month()),
      static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
      static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
  KELM_REQUIRE(written == (generalized ? 15 : 13));
  return tlv(generalized ? 0x18 : 0x17, std::span(reinterpret_cast<const std::uint8_t*>(text),
                                                  static_cast<std::size_t>(written)));
}

Bytes bitString(std::span<const std::uint8_t> bytes) {
  Bytes content{0x00};
  content.insert(content.end(), bytes.begin(), bytes.end());
  return tlv(0x03, content);
}

}  // namespace BridgeKit::DER
