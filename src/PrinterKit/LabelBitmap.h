#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iosfwd>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "PrinterKit/RasterLabel.h"

namespace PrinterKit {

// A label image reduced to one bit per pixel: ink or no ink. The image lies along the tape: its
// width runs along the tape (one raster line per column) and its height across it. A plain value:
// copied, compared by size and pixels.
class LabelBitmap {
 public:
  // The tallest image accepted, in pixels.
  static constexpr int maxHeight = 600;

  // Why an image cannot be a label. Values compare equal case by case and payload by payload.
  class Failure : public std::exception {
   public:
    // The image has fewer rows than the tape has dots.
    struct TooShort {
      int height;
      int dots;
      bool operator==(const TooShort&) const = default;
    };
    // The image is wider than a label may be long.
    struct TooLong {
      int lines;
      int max;
      bool operator==(const TooLong&) const = default;
    };
    // The bytes are not a usable PNG image.
    struct NotAnImage {
      bool operator==(const NotAnImage&) const = default;
    };
    using Case = std::variant<TooShort, TooLong, NotAnImage>;

    static Failure tooShort(int height, int dots) { return Failure(TooShort{height, dots}); }
    static Failure tooLong(int lines, int max) { return Failure(TooLong{lines, max}); }
    static Failure notAnImage() { return Failure(NotAnImage{}); }

    const Case& value() const { return value_; }
    // The payload when this failure is of case C, nullptr otherwise.
    template <class C>
    const C* as() const {
      return std::get_if<C>(&value_);
    }

    const char* what() const noexcept override { return text_.c_str(); }
    bool operator==(const Failure& other) const { return value_ == other.value_; }

   private:
    explicit Failure(Case value);

    Case value_;
    std::string text_;
  };

  // REQUIRES: width >= 0, height >= 0, pixels.size() == width * height. Pixel (x, y) is entry
  // y * width + x, rows from the top; true is ink.
  LabelBitmap(int width, int height, const std::vector<bool>& pixels);

  // Decodes a PNG image. A pixel is ink when its colour, composited over white, is darker than
  // half: gray below 128, or red + green + blue below 384.
  // Throws Failure: notAnImage for anything but a whole, valid PNG of 1 to maxHeight rows (also
  // for a PNG taller than maxHeight, whatever its width); tooLong(width, 2835) for a valid PNG
  // wider than TepraPro::maxLabelLines.
  explicit LabelBitmap(std::span<const std::uint8_t> imageData);

  int width() const { return width_; }
  int height() const { return height_; }

  // REQUIRES: 0 <= x < width(), 0 <= y < height().
  bool pixel(int x, int y) const;
  // width() * height() entries, row by row from the top.
  std::vector<bool> pixels() const;

  // The label's raster lines for a tape of `dots` dots across: one line per column, left to
  // right. The rows that do not fit are cut off evenly, one more at the bottom when the surplus is
  // odd: the window starts at row top = (height - dots) / 2, and dot j of line x is pixel
  // (x, top + dots - 1 - j), so the first dot of a line is the window's bottom row.
  // Throws Failure::tooShort(height, dots) when height < dots, then Failure::tooLong(width, 2835)
  // when the image is wider than TepraPro::maxLabelLines.
  // REQUIRES: 0 <= dots <= 65535.
  RasterLabel columns(int dots) const;

  // The number of ink pixels in the rows that columns(dots) cuts off; 0 when dots >= height.
  // REQUIRES: dots >= 0.
  std::size_t inkOutside(int dots) const;

  bool operator==(const LabelBitmap&) const = default;

 private:
  LabelBitmap(int width, int height);

  // The row's packed pixels: bit x % 8 of byte x / 8 is pixel x.
  const std::uint8_t* row(int y) const {
    return bits_.data() + static_cast<std::size_t>(y) * rowBytes_;
  }
  std::uint8_t* row(int y) { return bits_.data() + static_cast<std::size_t>(y) * rowBytes_; }

  int width_;
  int height_;
  std::size_t rowBytes_;            // (width + 7) / 8
  std::vector<std::uint8_t> bits_;  // height rows of rowBytes_; bits past width are zero
};

// Readable values in test failure messages.
void PrintTo(const LabelBitmap::Failure& failure, std::ostream* os);
void PrintTo(const LabelBitmap& bitmap, std::ostream* os);

}  // namespace PrinterKit
