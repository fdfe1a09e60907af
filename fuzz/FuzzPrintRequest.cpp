// Decodes arbitrary bytes as a print request body and, when they decode, converts its labels.
// Nothing may throw. A label text that decodes as base64 must be the canonical encoding of its
// bytes up to the unused bits of the last group; the conversion must give, label by label, what
// decoding, LabelBitmap and columns give one at a time, stopping at the first failure.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "BridgeKit/Base64.h"
#include "BridgeKit/LabelConversion.h"
#include "BridgeKit/PrintRequest.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/TepraPro.h"

using BridgeKit::LabelConversion;
using BridgeKit::PrintRequest;
using PrinterKit::LabelBitmap;
using PrinterKit::RasterLabel;

namespace {

constexpr int dots = 108;

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "FuzzPrintRequest: %s\n", what);
  std::abort();
}

// The text with the unused bits of a padded last group cleared. REQUIRES: decodeBase64 accepts it.
std::string canonical(std::string text) {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::size_t n = text.size();
  if (n == 0 || text[n - 1] != '=') return text;
  const bool two = text[n - 2] == '=';
  char& last = text[n - (two ? 3 : 2)];
  const std::size_t value = alphabet.find(last);
  last = alphabet[value & (two ? 0x30u : 0x3Cu)];
  return text;
}

// The conversion done label by label, without convertLabels.
LabelConversion expectedConversion(const std::vector<PrintRequest::Label>& labels) {
  std::vector<RasterLabel> lines;
  for (const PrintRequest::Label& label : labels) {
    const std::optional<std::vector<std::uint8_t>> png = BridgeKit::decodeBase64(label.png);
    if (!png) return std::string("BAD_IMAGE");
    try {
      lines.push_back(LabelBitmap(std::span<const std::uint8_t>(*png)).columns(dots));
    } catch (const LabelBitmap::Failure& failure) {
      if (failure.as<LabelBitmap::Failure::TooShort>() != nullptr)
        return std::string("IMAGE_TOO_SHORT");
      if (failure.as<LabelBitmap::Failure::TooLong>() != nullptr)
        return std::string("LABEL_TOO_LONG");
      return std::string("BAD_IMAGE");
    }
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<PrintRequest> request =
      PrintRequest::decode(std::span<const std::uint8_t>(data, size));
  if (!request) return 0;
  for (const PrintRequest::Label& label : request->labels) {
    const std::optional<std::vector<std::uint8_t>> bytes = BridgeKit::decodeBase64(label.png);
    if (!bytes) continue;
    const std::string encoded = BridgeKit::encodeBase64(*bytes);
    check(encoded == canonical(label.png), "accepted text is not the encoding of its bytes");
    check(BridgeKit::decodeBase64(encoded) == bytes, "the encoding does not read back");
  }
  const LabelConversion converted = BridgeKit::convertLabels(request->labels, dots);
  if (const auto* lines = std::get_if<std::vector<RasterLabel>>(&converted)) {
    check(lines->size() == request->labels.size(), "one raster label per label");
    for (const RasterLabel& label : *lines) {
      check(label.dots() == dots, "raster lines have the tape's dots");
      check(label.lineCount() >= 1 &&
                label.lineCount() <= static_cast<std::size_t>(PrinterKit::TepraPro::maxLabelLines),
            "a label's length is within the limit");
    }
  }
  check(converted == expectedConversion(request->labels),
        "conversion differs from converting each label alone");
  return 0;
}
