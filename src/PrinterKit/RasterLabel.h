#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace PrinterKit {

// One label's raster lines for a tape of `dots` dots across, packed as the printer takes them:
// each line is bytesPerLine() = (dots + 7) / 8 bytes, dot j is bit (7 - j % 8) of byte j / 8,
// and a set bit is ink. The bits past `dots` in a line's last byte are always zero.
class RasterLabel {
 public:
  // REQUIRES: 0 <= dots <= 65535.
  explicit RasterLabel(int dots);

  // Builds from lines of Booleans (true = ink). Entries beyond `dots` are ignored; a shorter line
  // leaves its remaining dots blank.
  static RasterLabel fromLines(const std::vector<std::vector<bool>>& lines, int dots);

  int dots() const { return dots_; }
  std::size_t bytesPerLine() const { return bytesPerLine_; }
  std::size_t lineCount() const {
    return bytesPerLine_ == 0 ? lines_ : bits_.size() / bytesPerLine_;
  }

  // REQUIRES: i < lineCount().
  std::span<const std::uint8_t> line(std::size_t i) const;
  // REQUIRES: i < lineCount(), 0 <= j < dots().
  bool dot(std::size_t i, int j) const;
  // Line i as Booleans, dots() entries.
  std::vector<bool> lineDots(std::size_t i) const;

  // Appends `count` blank lines and returns their bytes, line after line, for the caller to set.
  // The caller must leave the bits past dots() zero.
  std::span<std::uint8_t> appendBlankLines(std::size_t count);
  void reserveLines(std::size_t count) { bits_.reserve(count * bytesPerLine_); }

  // All lines' bytes back to back.
  std::span<const std::uint8_t> bytes() const { return bits_; }

  bool operator==(const RasterLabel&) const = default;

 private:
  int dots_;
  std::size_t bytesPerLine_;
  std::size_t lines_ = 0;  // counts lines only when a line has no bytes (dots == 0)
  std::vector<std::uint8_t> bits_;
};

}  // namespace PrinterKit
