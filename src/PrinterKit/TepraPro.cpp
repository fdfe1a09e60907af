#include "PrinterKit/TepraPro.h"

#include <algorithm>
#include <cstring>

namespace PrinterKit {

namespace {

std::size_t lineBytes(int dots) { return (static_cast<std::size_t>(dots) + 7) / 8; }

std::size_t pageSize(std::size_t lines, int dots) { return 18 + lines * (8 + lineBytes(dots)) + 1; }

std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Writes the framed command of a payload of at most 5 bytes to `p`; yields the bytes written.
std::size_t writeCommand(std::uint8_t* p, std::initializer_list<std::uint8_t> payload) {
  std::size_t n = 0;
  unsigned sum = 0;
  p[n++] = 0x1B;
  p[n++] = 0x7B;
  p[n++] = static_cast<std::uint8_t>(payload.size() + 2);
  for (std::uint8_t b : payload) {
    p[n++] = b;
    sum += b;
  }
  p[n++] = static_cast<std::uint8_t>(sum);
  p[n++] = 0x7D;
  return n;
}

}  // namespace

const std::vector<std::uint8_t> TepraPro::setup = concat({
    TepraPro::command(0x49, 0x00, 0x00),
    TepraPro::command(0x21),
    {0x00, 0x00},
    TepraPro::command(0x49, 0x05, 0x00),
    TepraPro::command(0x40),
    TepraPro::command(0x7B, 0x00, 0x00, 0x53, 0x54),
    TepraPro::command(0x43, 0x01, 0x01, 0x01, 0x01),
    TepraPro::command(0x44, 0x05),
    TepraPro::command(0x47),
    TepraPro::command(0x49, 0x05, 0x00),
});

const std::vector<std::uint8_t> TepraPro::end =
    concat({TepraPro::command(0x40), TepraPro::command(0x49, 0x00, 0x00)});

std::vector<std::uint8_t> TepraPro::command(std::span<const std::uint8_t> payload) {
  KELM_REQUIRE(payload.size() <= 253);
  std::vector<std::uint8_t> out;
  out.reserve(payload.size() + 5);
  out.push_back(0x1B);
  out.push_back(0x7B);
  out.push_back(static_cast<std::uint8_t>(payload.size() + 2));
  unsigned sum = 0;
  for (std::uint8_t b : payload) {
    out.push_back(b);
    sum += b;
  }
  out.push_back(static_cast<std::uint8_t>(sum));
  out.push_back(0x7D);
  return out;
}

void TepraPro::appendPage(std::vector<std::uint8_t>& out, const RasterLabel& label, int dots) {
  KELM_REQUIRE(label.lineCount() < 65536);
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  const std::size_t lines = label.lineCount();
  const std::size_t width = lineBytes(dots);
  const std::uint8_t dotsLow = static_cast<std::uint8_t>(dots & 0xFF);
  const std::uint8_t dotsHigh = static_cast<std::uint8_t>(dots >> 8);

  // Grows within the capacity a caller reserved; the zeros are the blank dots of padded lines.
  const std::size_t start = out.size();
  out.resize(start + pageSize(lines, dots));
  std::uint8_t* p = out.data() + start;

  p += writeCommand(p, {0x4C, static_cast<std::uint8_t>(lines & 0xFF),
                        static_cast<std::uint8_t>(lines >> 8), 0x00, 0x00});
  p += writeCommand(p, {0x54, 0x00, 0x00});

  const std::uint8_t prefix[8] = {0x1B, 0x2E, 0x00, 0x00, 0x00, 0x01, dotsLow, dotsHigh};
  const std::uint8_t* src = label.bytes().data();
  const std::size_t srcWidth = label.bytesPerLine();
  const std::size_t copied = std::min(width, srcWidth);
  // Cutting a wider label drops its ink past `dots` from the last byte kept. Padding needs no
  // work: the bits past a label's own dots are zero.
  const bool maskLast = dots < label.dots() && dots % 8 != 0;
  const std::uint8_t lastMask = static_cast<std::uint8_t>(0xFF00u >> (dots % 8));
  for (std::size_t i = 0; i < lines; ++i) {
    std::memcpy(p, prefix, sizeof prefix);
    p += sizeof prefix;
    if (copied > 0) {
      std::memcpy(p, src + i * srcWidth, copied);
      if (maskLast) p[copied - 1] &= lastMask;
    }
    p += width;
  }
  *p = 0x0C;
}

std::vector<std::uint8_t> TepraPro::page(const RasterLabel& label, int dots) {
  KELM_REQUIRE(label.lineCount() < 65536);
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  std::vector<std::uint8_t> out;
  out.reserve(pageSize(label.lineCount(), dots));
  appendPage(out, label, dots);
  return out;
}

std::vector<std::uint8_t> TepraPro::page(const std::vector<std::vector<bool>>& lines, int dots) {
  KELM_REQUIRE(lines.size() < 65536);
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  return page(RasterLabel::fromLines(lines, dots), dots);
}

std::vector<std::uint8_t> TepraPro::job(std::span<const RasterLabel> labels, int dots) {
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  std::size_t size = setup.size() + end.size();
  for (const RasterLabel& label : labels) {
    KELM_REQUIRE(label.lineCount() < 65536);
    size += pageSize(label.lineCount(), dots);
  }
  std::vector<std::uint8_t> out;
  out.reserve(size);
  out.insert(out.end(), setup.begin(), setup.end());
  for (const RasterLabel& label : labels) appendPage(out, label, dots);
  out.insert(out.end(), end.begin(), end.end());
  return out;
}

std::vector<std::uint8_t> TepraPro::job(const std::vector<std::vector<std::vector<bool>>>& labels,
                                        int dots) {
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  std::vector<RasterLabel> packed;
  packed.reserve(labels.size());
  for (const auto& lines : labels) {
    KELM_REQUIRE(lines.size() < 65536);
    packed.push_back(RasterLabel::fromLines(lines, dots));
  }
  return job(packed, dots);
}

}  // namespace PrinterKit
