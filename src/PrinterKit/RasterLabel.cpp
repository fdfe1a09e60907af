#include "PrinterKit/RasterLabel.h"

#include <algorithm>

#include "Base/Require.h"

namespace PrinterKit {

RasterLabel::RasterLabel(int dots) : dots_(dots), bytesPerLine_(0) {
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  bytesPerLine_ = (static_cast<std::size_t>(dots) + 7) / 8;
}

RasterLabel RasterLabel::fromLines(const std::vector<std::vector<bool>>& lines, int dots) {
  RasterLabel label(dots);
  std::span<std::uint8_t> out = label.appendBlankLines(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<bool>& line = lines[i];
    std::uint8_t* bytes = out.data() + i * label.bytesPerLine_;
    const std::size_t n = std::min(line.size(), static_cast<std::size_t>(dots));
    for (std::size_t j = 0; j < n; ++j) {
      if (line[j]) bytes[j / 8] |= static_cast<std::uint8_t>(0x80u >> (j % 8));
    }
  }
  return label;
}

std::span<const std::uint8_t> RasterLabel::line(std::size_t i) const {
  KELM_REQUIRE(i < lineCount());
  return std::span<const std::uint8_t>(bits_).subspan(i * bytesPerLine_, bytesPerLine_);
}

bool RasterLabel::dot(std::size_t i, int j) const {
  KELM_REQUIRE(i < lineCount() && j >= 0 && j < dots_);
  const std::size_t k = static_cast<std::size_t>(j);
  return (bits_[i * bytesPerLine_ + k / 8] & (0x80u >> (k % 8))) != 0;
}

std::vector<bool> RasterLabel::lineDots(std::size_t i) const {
  std::vector<bool> out(static_cast<std::size_t>(dots_));
  for (int j = 0; j < dots_; ++j) out[static_cast<std::size_t>(j)] = dot(i, j);
  return out;
}

std::span<std::uint8_t> RasterLabel::appendBlankLines(std::size_t count) {
  const std::size_t start = bits_.size();
  bits_.resize(start + count * bytesPerLine_, 0);
  if (bytesPerLine_ == 0) lines_ += count;
  return std::span<std::uint8_t>(bits_).subspan(start);
}

}  // namespace PrinterKit
