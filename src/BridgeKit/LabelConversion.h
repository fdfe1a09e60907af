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
// "LABEL_TOO_LONG" when it is wider than a label may be long. Never throws.
//
// Up to `workers` threads (the caller's included) convert labels at once, taking them in order;
// the result is the same as converting one after another: labels after a failed one are not
// started, and the failure of the earliest label decides. At most `workers` decoded images are
// held at a time.
// REQUIRES: 0 <= dots <= 65535, workers >= 1.
LabelConversion convertLabels(const std::vector<PrintRequest::Label>& labels, int dots,
                              unsigned workers = 1);

}  // namespace BridgeKit
