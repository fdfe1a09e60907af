#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace BridgeKit {

// Strict standard base64 (RFC 4648 section 4, padded): the length is a multiple of 4, only
// A-Z a-z 0-9 + / and '=' padding (at most two, only at the end of the last group). Any other
// character (white space, line breaks, '-', '_', a "data:" prefix, non-ASCII bytes) makes the
// text undecodable: empty result. "" decodes to no bytes.
// The unused low bits of a padded last group need not be zero ("QR==" decodes like "QQ==" to
// "A"): they carry no data, every browser encoder writes them as zero, and refusing them would
// only turn a usable image into an error.
std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

// The canonical padded encoding: decodeBase64 reads it back to `bytes`.
std::string encodeBase64(std::span<const std::uint8_t> bytes);

}  // namespace BridgeKit
