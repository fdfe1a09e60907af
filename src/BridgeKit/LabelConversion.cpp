#include "BridgeKit/LabelConversion.h"

#include <atomic>
#include <exception>
#include <optional>
#include <span>
#include <thread>
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

// One label's raster lines, or its code.
using Converted = std::variant<PrinterKit::RasterLabel, std::string>;

Converted convertOne(const PrintRequest::Label& label, int dots) {
  try {
    std::optional<std::vector<std::uint8_t>> png = decodeBase64(label.png);
    if (!png) return std::string("BAD_IMAGE");
    const LabelBitmap bitmap{std::span<const std::uint8_t>(*png)};
    png.reset();
    return bitmap.columns(dots);
  } catch (const LabelBitmap::Failure& failure) {
    return std::string(codeOf(failure));
  } catch (const std::exception&) {
    // Whatever else fails (memory included) leaves the label unusable, not the bridge.
    return std::string("BAD_IMAGE");
  }
}

}  // namespace

LabelConversion convertLabels(const std::vector<PrintRequest::Label>& labels, int dots,
                              unsigned workers) {
  KELM_REQUIRE(dots >= 0 && dots <= 65535 && workers >= 1);
  const std::size_t count = labels.size();
  // results[i] is set by the one thread that took label i.
  std::vector<std::optional<Converted>> results(count);
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> firstFailure{count};
  const auto work = [&] {
    for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
      // Labels are taken in increasing order, so every label before the earliest failure is
      // converted; a label after a known failure is not needed.
      if (i > firstFailure.load()) return;
      results[i] = convertOne(labels[i], dots);
      if (std::holds_alternative<std::string>(*results[i])) {
        std::size_t seen = firstFailure.load();
        while (i < seen && !firstFailure.compare_exchange_weak(seen, i)) {
        }
      }
    }
  };
  {
    std::vector<std::jthread> helpers;
    for (unsigned k = 1; k < workers && k < count; ++k) {
      try {
        helpers.emplace_back(work);
      } catch (const std::exception&) {
        break;  // fewer threads: the ones running take the remaining labels
      }
    }
    work();
  }  // joins the helpers

  try {
    std::vector<PrinterKit::RasterLabel> converted;
    converted.reserve(count);
    for (std::optional<Converted>& result : results) {
      if (const std::string* code = std::get_if<std::string>(&*result)) return *code;
      converted.push_back(std::move(std::get<PrinterKit::RasterLabel>(*result)));
    }
    return converted;
  } catch (const std::exception&) {
    return std::string("BAD_IMAGE");
  }
}

}  // namespace BridgeKit
