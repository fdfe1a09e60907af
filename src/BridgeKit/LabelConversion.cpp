#include "BridgeKit/LabelConversion.h"

#include <exception>
#include <optional>
#include <span>
#include <utility>

#include "Base/Require.h"
#include "BridgeKit/Base64.h"
#include "PrinterKit/LabelBitmap.h"

namespace BridgeKit {

namespace {

using PrinterKit::LabelBitmap;

const char* codeOf(const LabelBitmap::Failure& failure) {
  if (failure.as<LabelBitmap::Failure::TooShort>() != nullptr) return "IMAGE_TOO_SHORT";
  if (failure.as<LabelBitmap::Failure::TooLong>() != nullptr) return "LABEL_TOO_LONG";
  return "BAD_IMAGE";
}

}  // namespace

LabelConversion convertLabels(const std::vector<PrintRequest::Label>& labels, int dots) {
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  try {
    std::vector<PrinterKit::RasterLabel> converted;
    converted.reserve(labels.size());
    for (const PrintRequest::Label& label : labels) {
      std::optional<std::vector<std::uint8_t>> png = decodeBase64(label.png);
      if (!png) return std::string("BAD_IMAGE");
      const LabelBitmap bitmap{std::span<const std::uint8_t>(*png)};
      png.reset();
      converted.push_back(bitmap.columns(dots));
    }
    return converted;
  } catch (const LabelBitmap::Failure& failure) {
    return std::string(codeOf(failure));
  } catch (const std::exception&) {
    // Whatever else fails (memory included) leaves the label unusable, not the bridge.
    return std::string("BAD_IMAGE");
  }
}

}  // namespace BridgeKit
