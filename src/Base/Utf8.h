#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace Base {

// One code point decoded from the front of `text`: its value and its length in bytes.
struct CodePoint {
  char32_t value;
  std::size_t length;
};

// Decodes the UTF-8 sequence at the front of `text` (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF). Empty when `text` is empty or does not start with a valid sequence.
inline std::optional<CodePoint> decodeUtf8(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t b0 = byte(0);
  if (b0 < 0x80) return CodePoint{b0, 1};
  std::size_t length;
  char32_t value;
  char32_t minimum;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, value = b0 & 0x1F, minimum = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, value = b0 & 0x0F, minimum = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, value = b0 & 0x07, minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    value = (value << 6) | (byte(i) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
    return std::nullopt;
  }
  return CodePoint{value, length};
}

inline bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (static_cast<std::uint8_t>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const std::optional<CodePoint> cp = decodeUtf8(text.substr(i));
    if (!cp) return false;
    i += cp->length;
  }
  return true;
}

}  // namespace Base
