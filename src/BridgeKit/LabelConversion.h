#pragma once

#include <string>
#include <variant>
#include <vector>

#include "BridgeKit/PrintRequest.h"
#include "PrinterKit/RasterLabel.h"

namespace BridgeKit {

// Either every label's raster lines, in the labels' order, or the API code of the first label
// that could not be converted.
using LabelConversion = std::variant<std::vector<PrinterKit::RasterLabel>, std::string>;

// Converts the labels in order for a tape of `dots` dots across: base64 (decodeBase64), PNG
// (LabelBitmap), raster lines (LabelBitmap::columns). Stops at the first label that fails and
// yields its code: "BAD_IMAGE" when the text is not base64, the bytes are not a usable image or
// anything else goes wrong; "IMAGE_TOO_SHORT" when the image has fewer rows than `dots`;
// "LABEL_TOO_LONG" when it is wider than a label may be long. Never throws. Only one label's
// decoded image is held at a time.
// REQUIRES: 0 <= dots <= 65535.
LabelConversion convertLabels(const std::vector<PrintRequest::Label>& labels, int dots);

}  // namespace BridgeKit
