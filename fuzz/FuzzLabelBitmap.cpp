// Decodes arbitrary bytes as a label image. A decoded bitmap must be within the size limits and
// give, for every tape, either the right failure or raster lines of the right shape whose dots
// are its pixels; a refused image must be refused for a reason the limits allow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>

#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/TepraPro.h"

using PrinterKit::LabelBitmap;
using PrinterKit::RasterLabel;
using PrinterKit::TepraPro;

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
  }
}

void checkColumns(const LabelBitmap& bitmap, int dots) {
  std::size_t ink = 0;
  for (int y = 0; y < bitmap.height(); ++y) {
    for (int x = 0; x < bitmap.width(); ++x) ink += bitmap.pixel(x, y) ? 1 : 0;
  }
  RasterLabel label(0);
  try {
    label = bitmap.columns(dots);
  } catch (const LabelBitmap::Failure& failure) {
    check(
        bitmap.height() < dots && failure == LabelBitmap::Failure::tooShort(bitmap.height(), dots),
        "columns fails only when the image is shorter than the tape");
    check(bitmap.inkOutside(dots) == 0, "nothing is cut from a short image");
    return;
  }
  check(bitmap.height() >= dots, "a short image has no columns");
  check(label.dots() == dots, "lines have the tape's dots");
  check(label.lineCount() == static_cast<std::size_t>(bitmap.width()), "one line per column");
  const int top = (bitmap.height() - dots) / 2;
  std::size_t inside = 0;
  for (int x = 0; x < bitmap.width(); ++x) {
    for (int j = 0; j < dots; ++j) {
      const bool dot = label.dot(static_cast<std::size_t>(x), j);
      check(dot == bitmap.pixel(x, top + dots - 1 - j), "dot j of line x is the window's pixel");
      inside += dot ? 1 : 0;
    }
    if (dots % 8 != 0) {
      check((label.line(static_cast<std::size_t>(x)).back() & (0xFFu >> (dots % 8))) == 0,
            "padding bits are blank");
    }
  }
  check(inside + bitmap.inkOutside(dots) == ink, "ink is either printed or cut off");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<LabelBitmap> bitmap;
  try {
    bitmap.emplace(std::span<const std::uint8_t>(data, size));
  } catch (const LabelBitmap::Failure& failure) {
    if (const auto* tooLong = failure.as<LabelBitmap::Failure::TooLong>()) {
      check(tooLong->max == TepraPro::maxLabelLines && tooLong->lines > tooLong->max,
            "tooLong names a width beyond the limit");
    } else {
      check(failure == LabelBitmap::Failure::notAnImage(),
            "decoding fails as tooLong or notAnImage");
    }
    return 0;
  }
  check(bitmap->width() >= 1 && bitmap->width() <= TepraPro::maxLabelLines, "width in range");
  check(bitmap->height() >= 1 && bitmap->height() <= LabelBitmap::maxHeight, "height in range");
  check(bitmap->pixels().size() ==
            static_cast<std::size_t>(bitmap->width()) * static_cast<std::size_t>(bitmap->height()),
        "one pixel per place");
  for (const auto& [tapeMm, dots] : TepraPro::dotsByTape) checkColumns(*bitmap, dots);
  return 0;
}
