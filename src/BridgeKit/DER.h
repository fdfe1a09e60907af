#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace BridgeKit {

// A minimal writer of ASN.1 DER values: exactly what the bridge's own certificate needs. It does
// no parsing. Every function is pure; the inputs are constants or bounded values, so an input
// none of them can encode is a programming error and stops the program.
namespace DER {

using Bytes = std::vector<std::uint8_t>;

// Tag byte, definite length (short form up to 127, long form with the fewest length bytes
// above), content.
// REQUIRES: content.size() <= 4,294,967,295.
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> content);

// OBJECT IDENTIFIER from dotted decimal text ("2.5.29.17"); empty pieces are skipped.
// REQUIRES: at least two arcs, each a decimal number below 2^64, and 40 * first + second <= 255.
Bytes oid(std::string_view text);

// UTF8String of the text's bytes.
Bytes utf8(std::string_view text);

// INTEGER from a big-endian unsigned magnitude: redundant leading zero bytes are dropped, and a
// zero byte is put in front when the top bit is set, so the value stays non-negative. An empty
// input gives an empty INTEGER (02 00).
Bytes integer(std::span<const std::uint8_t> magnitude);

// The moment in UTC, whole seconds (fractions dropped): UTCTime "yyMMddHHmmssZ" up to the end of
// 2049, GeneralizedTime "yyyyMMddHHmmssZ" from 2050 on. The local time zone plays no part.
// REQUIRES: the UTC year lies in 0...9999.
Bytes time(std::chrono::system_clock::time_point moment);

// BIT STRING with no unused bits.
Bytes bitString(std::span<const std::uint8_t> bytes);

}  // namespace DER

}  // namespace BridgeKit
