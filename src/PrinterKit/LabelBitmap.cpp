#include "PrinterKit/LabelBitmap.h"

#include <spng.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <ostream>
#include <utility>

#include "Base/Require.h"
#include "PrinterKit/TepraPro.h"

namespace PrinterKit {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// The CRC-32 of the type of an empty IEND chunk, which is the only valid one.
constexpr std::uint8_t kEmptyIendCrc[4] = {0xAE, 0x42, 0x60, 0x82};

// No ancillary chunk is used, but the decoder keeps the text, profile and EXIF chunks it reads,
// inflating the compressed ones. These limits bound that memory and time whatever the file holds:
// a chunk that inflates beyond kChunkSizeLimit, or chunks adding up to more than the file's own
// size plus kChunkCacheMargin, make the file unusable. Chunks stored as they are, however large,
// stay within the second limit.
constexpr std::size_t kChunkSizeLimit = std::size_t{4} << 20;
constexpr std::size_t kChunkCacheMargin = std::size_t{16} << 20;

struct ContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Context = std::unique_ptr<spng_ctx, ContextDeleter>;

std::uint32_t readU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

// Whether the chunks from the first one on lead to a complete, empty IEND chunk. The decoder
// stops at IEND's type and never reads its CRC, so a file cut inside IEND would otherwise pass.
// Bytes after IEND are ignored.
bool hasCompleteEnd(std::span<const std::uint8_t> data) {
  std::size_t pos = sizeof kSignature;
  while (pos <= data.size() && data.size() - pos >= 12) {
    const std::uint8_t* chunk = data.data() + pos;
    const std::uint32_t length = readU32(chunk);
    if (std::memcmp(chunk + 4, "IEND", 4) == 0) {
      return length == 0 && std::memcmp(chunk + 8, kEmptyIendCrc, 4) == 0;
    }
    if (length > data.size() - pos - 12) return false;
    pos += 12 + static_cast<std::size_t>(length);
  }
  return false;
}

// How the decoded samples become ink. The direct readings take the file's own 8-bit samples
// (straight alpha, last); the drawn reading takes RGBA8 with any tRNS applied and composites it
// over white with rounding.
enum class Reading { gray, grayAlpha, rgb, rgba, drawn };

struct GrayInk {
  static constexpr std::size_t bytes = 1;
  bool operator()(const std::uint8_t* p) const { return p[0] < 128; }
};

struct GrayAlphaInk {
  static constexpr std::size_t bytes = 2;
  bool operator()(const std::uint8_t* p) const {
    const unsigned g = p[0];
    const unsigned a = p[1];
    if (a == 255) return g < 128;
    return (g * a + (255 - a) * 255) / 255 < 128;
  }
};

struct RgbInk {
  static constexpr std::size_t bytes = 3;
  bool operator()(const std::uint8_t* p) const {
    return static_cast<unsigned>(p[0]) + p[1] + p[2] < 384;
  }
};

struct RgbaInk {
  static constexpr std::size_t bytes = 4;
  bool operator()(const std::uint8_t* p) const {
    const unsigned sum = static_cast<unsigned>(p[0]) + p[1] + p[2];
    const unsigned a = p[3];
    if (a == 255) return sum < 384;
    return ((sum / 3) * a + (255 - a) * 255) / 255 < 128;
  }
};

struct DrawnInk {
  static constexpr std::size_t bytes = 4;
  static unsigned overWhite(unsigned c, unsigned a) {
    return (c * a + 255 * (255 - a) + 127) / 255;
  }
  bool operator()(const std::uint8_t* p) const {
    const unsigned a = p[3];
    if (a == 255) return static_cast<unsigned>(p[0]) + p[1] + p[2] < 384;
    return overWhite(p[0], a) + overWhite(p[1], a) + overWhite(p[2], a) < 384;
  }
};

// Packs one row of samples into bits: bit k of out[i] is the ink of pixel 8i + k.
template <class Ink>
void packRow(const std::uint8_t* in, std::uint8_t* out, int width) {
  const Ink ink;
  constexpr std::size_t n = Ink::bytes;
  int x = 0;
  for (; x + 8 <= width; x += 8, in += 8 * n) {
    unsigned byte = 0;
    for (unsigned k = 0; k < 8; ++k) byte |= static_cast<unsigned>(ink(in + k * n)) << k;
    *out++ = static_cast<std::uint8_t>(byte);
  }
  if (x < width) {
    unsigned byte = 0;
    for (unsigned k = 0; x < width; ++k, ++x, in += n) {
      byte |= static_cast<unsigned>(ink(in)) << k;
    }
    *out = static_cast<std::uint8_t>(byte);
  }
}

void packRow(Reading reading, const std::uint8_t* in, std::uint8_t* out, int width) {
  switch (reading) {
    case Reading::gray:
      return packRow<GrayInk>(in, out, width);
    case Reading::grayAlpha:
      return packRow<GrayAlphaInk>(in, out, width);
    case Reading::rgb:
      return packRow<RgbInk>(in, out, width);
    case Reading::rgba:
      return packRow<RgbaInk>(in, out, width);
    case Reading::drawn:
      return packRow<DrawnInk>(in, out, width);
  }
}

// Transposes an 8x8 bit matrix held as bit 8r + c for row r, column c.
std::uint64_t transpose8x8(std::uint64_t x) {
  std::uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

struct Size {
  std::uint32_t width;
  std::uint32_t height;
};

// The image's size from its header. The decoder refuses a header whose row size overflows its
// arithmetic, which takes a width of hundreds of millions; such a header still has a size, which
// tells the caller that the image is too long (or too tall) rather than not an image.
Size readSize(spng_ctx* ctx, std::span<const std::uint8_t> data, spng_ihdr& ihdr) {
  const int result = spng_get_ihdr(ctx, &ihdr);
  if (result == 0) return {ihdr.width, ihdr.height};
  if (result == SPNG_EOVERFLOW && data.size() >= 24) {
    const Size size{readU32(data.data() + 16), readU32(data.data() + 20)};
    if (size.width > static_cast<std::uint32_t>(TepraPro::maxLabelLines) &&
        size.width <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
      return size;
    }
  }
  throw LabelBitmap::Failure::notAnImage();
}

std::string describe(const LabelBitmap::Failure::Case& value) {
  using F = LabelBitmap::Failure;
  if (const auto* c = std::get_if<F::TooShort>(&value)) {
    return "image too short: " + std::to_string(c->height) + " rows for " +
           std::to_string(c->dots) + " dots";
  }
  if (const auto* c = std::get_if<F::TooLong>(&value)) {
    return "label too long: " + std::to_string(c->lines) + " lines, at most " +
           std::to_string(c->max);
  }
  return "not an image";
}

}  // namespace

LabelBitmap::Failure::Failure(Case value) : value_(value), text_(describe(value)) {}

LabelBitmap::LabelBitmap(int width, int height)
    : width_(width),
      height_(height),
      rowBytes_((static_cast<std::size_t>(width) + 7) / 8),
      bits_(rowBytes_ * static_cast<std::size_t>(height), 0) {}

LabelBitmap::LabelBitmap(int width, int height, const std::vector<bool>& pixels)
    : width_(width), height_(height), rowBytes_(0) {
  KELM_REQUIRE(width >= 0 && height >= 0 &&
               pixels.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  rowBytes_ = (static_cast<std::size_t>(width) + 7) / 8;
  bits_.assign(rowBytes_ * static_cast<std::size_t>(height), 0);
  std::size_t i = 0;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* bits = row(y);
    for (int x = 0; x < width; ++x, ++i) {
      if (pixels[i]) bits[x / 8] |= static_cast<std::uint8_t>(1u << (x % 8));
    }
  }
}

LabelBitmap::LabelBitmap(std::span<const std::uint8_t> imageData) : LabelBitmap(0, 0) {
  if (imageData.size() < sizeof kSignature ||
      std::memcmp(imageData.data(), kSignature, sizeof kSignature) != 0) {
    throw Failure::notAnImage();
  }
  Context ctx(spng_ctx_new(0));
  if (!ctx) throw std::bad_alloc();
  spng_ctx* c = ctx.get();
  // Sizes are checked here, not through the decoder's image limits, so that a too-wide image is
  // reported as too long. The decoder allocates by row and inflates only as much image data as
  // the rows need, so neither the declared size nor a bomb in the data costs more than that.
  if (spng_set_chunk_limits(c, kChunkSizeLimit, imageData.size() + kChunkCacheMargin) != 0 ||
      spng_set_png_buffer(c, imageData.data(), imageData.size()) != 0) {
    throw Failure::notAnImage();
  }
  spng_ihdr ihdr{};
  const Size size = readSize(c, imageData, ihdr);
  if (size.width < 1 || size.height < 1 || size.height > static_cast<std::uint32_t>(maxHeight)) {
    throw Failure::notAnImage();
  }
  if (size.width > static_cast<std::uint32_t>(TepraPro::maxLabelLines)) {
    throw Failure::tooLong(static_cast<int>(size.width), TepraPro::maxLabelLines);
  }

  Reading reading = Reading::drawn;
  if (ihdr.bit_depth == 8 && ihdr.color_type != SPNG_COLOR_TYPE_INDEXED) {
    spng_trns trns{};
    const int result = spng_get_trns(c, &trns);
    if (result == 0) {
      reading = Reading::drawn;
    } else if (result != SPNG_ECHUNKAVAIL) {
      throw Failure::notAnImage();
    } else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE) {
      reading = Reading::gray;
    } else if (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA) {
      reading = Reading::grayAlpha;
    } else if (ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR) {
      reading = Reading::rgb;
    } else {
      reading = Reading::rgba;
    }
  }
  const int format = reading == Reading::drawn ? SPNG_FMT_RGBA8 : SPNG_FMT_PNG;
  const int flags = reading == Reading::drawn ? SPNG_DECODE_TRNS : 0;

  LabelBitmap image(static_cast<int>(size.width), static_cast<int>(size.height));
  std::size_t imageSize = 0;
  if (spng_decoded_image_size(c, format, &imageSize) != 0) throw Failure::notAnImage();
  const std::size_t rowSize = imageSize / size.height;

  if (ihdr.interlace_method == SPNG_INTERLACE_NONE) {
    // Row by row, so no whole decoded image is ever held.
    if (spng_decode_image(c, nullptr, 0, format, flags | SPNG_DECODE_PROGRESSIVE) != 0) {
      throw Failure::notAnImage();
    }
    std::vector<std::uint8_t> samples(rowSize);
    int result = 0;
    do {
      spng_row_info info{};
      if (spng_get_row_info(c, &info) != 0 || info.row_num >= size.height) {
        throw Failure::notAnImage();
      }
      result = spng_decode_row(c, samples.data(), samples.size());
      if (result != 0 && result != SPNG_EOI) throw Failure::notAnImage();
      packRow(reading, samples.data(), image.row(static_cast<int>(info.row_num)), image.width_);
    } while (result == 0);
  } else {
    std::vector<std::uint8_t> samples(imageSize);
    if (spng_decode_image(c, samples.data(), samples.size(), format, flags) != 0) {
      throw Failure::notAnImage();
    }
    for (int y = 0; y < image.height_; ++y) {
      packRow(reading, samples.data() + static_cast<std::size_t>(y) * rowSize, image.row(y),
              image.width_);
    }
  }
  // The rest of the file must be whole too: the chunks after the image data and their CRCs.
  if (spng_decode_chunks(c) != 0 || !hasCompleteEnd(imageData)) throw Failure::notAnImage();
  *this = std::move(image);
}

bool LabelBitmap::pixel(int x, int y) const {
  KELM_REQUIRE(x >= 0 && x < width_ && y >= 0 && y < height_);
  return (row(y)[x / 8] >> (x % 8) & 1u) != 0;
}

std::vector<bool> LabelBitmap::pixels() const {
  std::vector<bool> out(static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_));
  std::size_t i = 0;
  for (int y = 0; y < height_; ++y) {
    const std::uint8_t* bits = row(y);
    for (int x = 0; x < width_; ++x, ++i) out[i] = (bits[x / 8] >> (x % 8) & 1u) != 0;
  }
  return out;
}

RasterLabel LabelBitmap::columns(int dots) const {
  KELM_REQUIRE(dots >= 0 && dots <= 65535);
  if (height_ < dots) throw Failure::tooShort(height_, dots);
  if (width_ > TepraPro::maxLabelLines) throw Failure::tooLong(width_, TepraPro::maxLabelLines);

  RasterLabel label(dots);
  const std::span<std::uint8_t> out = label.appendBlankLines(static_cast<std::size_t>(width_));
  const std::size_t lineBytes = label.bytesPerLine();
  const int top = (height_ - dots) / 2;
  const int bottom = top + dots - 1;  // the row of dot 0
  // Each output byte g of a line holds dots 8g..8g+7, rows bottom - 8g down to bottom - 8g - 7.
  // Eight packed bytes of those rows, one per row, form an 8x8 bit matrix whose transpose is the
  // output bytes of eight consecutive lines.
  for (std::size_t g = 0; g < lineBytes; ++g) {
    const std::uint8_t* rows[8];
    const int first = bottom - static_cast<int>(8 * g);
    const int count = std::min(8, dots - static_cast<int>(8 * g));
    for (int i = 0; i < 8; ++i) rows[i] = i < count ? row(first - i) : nullptr;
    for (std::size_t b = 0; b < rowBytes_; ++b) {
      // Row i (dot 8g + i) goes to matrix row 7 - i, so that it lands on bit 7 - i.
      std::uint64_t m = 0;
      for (int i = 0; i < count; ++i) m |= static_cast<std::uint64_t>(rows[i][b]) << (8 * (7 - i));
      if (m == 0) continue;
      m = transpose8x8(m);
      const std::size_t x0 = 8 * b;
      const std::size_t n = std::min<std::size_t>(8, static_cast<std::size_t>(width_) - x0);
      std::uint8_t* dst = out.data() + x0 * lineBytes + g;
      for (std::size_t k = 0; k < n; ++k, dst += lineBytes) {
        *dst = static_cast<std::uint8_t>(m >> (8 * k));
      }
    }
  }
  return label;
}

std::size_t LabelBitmap::inkOutside(int dots) const {
  KELM_REQUIRE(dots >= 0);
  if (dots >= height_) return 0;
  const int top = (height_ - dots) / 2;
  std::size_t count = 0;
  for (int y = 0; y < height_; ++y) {
    if (y >= top && y < top + dots) continue;
    const std::uint8_t* bits = row(y);
    for (std::size_t b = 0; b < rowBytes_; ++b)
      count += static_cast<std::size_t>(std::popcount(bits[b]));
  }
  return count;
}

void PrintTo(const LabelBitmap::Failure& failure, std::ostream* os) {
  *os << "LabelBitmap::Failure(" << failure.what() << ")";
}

void PrintTo(const LabelBitmap& bitmap, std::ostream* os) {
  *os << "LabelBitmap " << bitmap.width() << "x" << bitmap.height();
  if (static_cast<long>(bitmap.width()) * bitmap.height() > 4096) return;
  for (int y = 0; y < bitmap.height(); ++y) {
    *os << "\n  ";
    for (int x = 0; x < bitmap.width(); ++x) *os << (bitmap.pixel(x, y) ? '#' : '.');
  }
}

}  // namespace PrinterKit
