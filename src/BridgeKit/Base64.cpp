#include "BridgeKit/Base64.h"

#include <array>
#include <cstddef>

namespace BridgeKit {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Marks a character outside the alphabet: above the 24 bits that four characters fill, so one test
// of the OR of a group's four entries finds any bad character in it.
constexpr std::uint32_t bad = 0x01000000;

// The 6-bit value of each character shifted into place for position `shift` / 6 from the right
// of a group, or `bad`.
constexpr std::array<std::uint32_t, 256> makeTable(int shift) {
  std::array<std::uint32_t, 256> table{};
  table.fill(bad);
  for (std::uint32_t i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = i << shift;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> d0 = makeTable(18);
constexpr std::array<std::uint32_t, 256> d1 = makeTable(12);
constexpr std::array<std::uint32_t, 256> d2 = makeTable(6);
constexpr std::array<std::uint32_t, 256> d3 = makeTable(0);

}  // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text) {
  const std::size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  if (n == 0) return std::vector<std::uint8_t>();
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* const last = in + n - 4;  // the last group may hold padding

  std::vector<std::uint8_t> out(n / 4 * 3);
  std::uint8_t* o = out.data();
  for (; in != last; in += 4, o += 3) {
    const std::uint32_t v = d0[in[0]] | d1[in[1]] | d2[in[2]] | d3[in[3]];
    if (v & bad) return std::nullopt;
    o[0] = static_cast<std::uint8_t>(v >> 16);
    o[1] = static_cast<std::uint8_t>(v >> 8);
    o[2] = static_cast<std::uint8_t>(v);
  }

  // '=' is outside the alphabet, so a padded position is checked apart from the table.
  std::size_t padding = 0;
  std::uint32_t v = d0[in[0]] | d1[in[1]];
  if (in[3] != '=') {
    v |= d2[in[2]] | d3[in[3]];
  } else if (in[2] != '=') {
    v |= d2[in[2]];
    padding = 1;
  } else {
    padding = 2;
  }
  if (v & bad) return std::nullopt;
  o[0] = static_cast<std::uint8_t>(v >> 16);
  o[1] = static_cast<std::uint8_t>(v >> 8);
  o[2] = static_cast<std::uint8_t>(v);
  out.resize(out.size() - padding);
  return out;
}

std::string encodeBase64(std::span<const std::uint8_t> bytes) {
  std::string out((bytes.size() + 2) / 3 * 4, '=');
  char* o = out.data();
  const std::uint8_t* in = bytes.data();
  const std::uint8_t* const end = in + bytes.size() / 3 * 3;
  for (; in != end; in += 3, o += 4) {
    const std::uint32_t v =
        static_cast<std::uint32_t>(in[0]) << 16 | static_cast<std::uint32_t>(in[1]) << 8 | in[2];
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    o[2] = alphabet[(v >> 6) & 63];
    o[3] = alphabet[v & 63];
  }
  // The last one or two bytes, padded; the '=' are already in place.
  const std::size_t rest = bytes.size() % 3;
  if (rest > 0) {
    std::uint32_t v = static_cast<std::uint32_t>(in[0]) << 16;
    if (rest == 2) v |= static_cast<std::uint32_t>(in[1]) << 8;
    o[0] = alphabet[v >> 18];
    o[1] = alphabet[(v >> 12) & 63];
    if (rest == 2) o[2] = alphabet[(v >> 6) & 63];
  }
  return out;
}

}  // namespace BridgeKit
