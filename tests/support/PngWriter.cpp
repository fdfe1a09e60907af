#include "support/PngWriter.h"

#include <spng.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "Base/Require.h"

namespace TestSupport {

int PngImage::channels(ColorType type) {
  switch (type) {
    case gray:
    case palette:
      return 1;
    case grayAlpha:
      return 2;
    case rgb:
      return 3;
    case rgba:
      return 4;
  }
  return 0;
}

PngImage PngImage::filled(int width, int height, ColorType type, int bitDepth,
                          std::vector<std::uint16_t> pixel) {
  KELM_REQUIRE(static_cast<int>(pixel.size()) == channels(type));
  PngImage image;
  image.width = width;
  image.height = height;
  image.colorType = type;
  image.bitDepth = bitDepth;
  image.samples.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                       pixel.size());
  for (std::size_t i = 0; i < image.samples.size(); ++i) {
    image.samples[i] = pixel[i % pixel.size()];
  }
  return image;
}

void PngImage::set(int x, int y, std::initializer_list<std::uint16_t> pixel) {
  const std::size_t n = static_cast<std::size_t>(channels(colorType));
  KELM_REQUIRE(x >= 0 && x < width && y >= 0 && y < height && pixel.size() == n);
  const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                          static_cast<std::size_t>(x)) *
                         n;
  std::copy(pixel.begin(), pixel.end(), samples.begin() + static_cast<std::ptrdiff_t>(at));
}

namespace {

struct ContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

// The samples as libspng's encoder takes them: rows of packed samples (most significant bits
// first below 8 bits, host-endian 16-bit words at 16 bits), no filter bytes.
std::vector<std::uint8_t> rawRows(const PngImage& image) {
  const std::size_t n = static_cast<std::size_t>(PngImage::channels(image.colorType));
  const std::size_t w = static_cast<std::size_t>(image.width);
  const std::size_t h = static_cast<std::size_t>(image.height);
  const std::size_t bits = static_cast<std::size_t>(image.bitDepth);
  const std::size_t stride = (w * n * bits + 7) / 8;
  KELM_REQUIRE(image.samples.size() == w * h * n);
  std::vector<std::uint8_t> out(stride * h, 0);
  for (std::size_t y = 0; y < h; ++y) {
    std::uint8_t* row = out.data() + y * stride;
    const std::uint16_t* in = image.samples.data() + y * w * n;
    for (std::size_t i = 0; i < w * n; ++i) {
      const std::uint16_t v = in[i];
      KELM_REQUIRE(bits == 16 || v < (1u << bits));
      if (bits == 16) {
        std::memcpy(row + 2 * i, &v, 2);
      } else if (bits == 8) {
        row[i] = static_cast<std::uint8_t>(v);
      } else {
        const std::size_t bit = i * bits;
        row[bit / 8] |= static_cast<std::uint8_t>(v << (8 - bits - bit % 8));
      }
    }
  }
  return out;
}

void setU32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// Appends v in network byte order.
void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.resize(out.size() + 4);
  setU32(out.data() + out.size() - 4, v);
}

const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

}  // namespace

std::vector<std::uint8_t> writePng(const PngImage& image) {
  std::unique_ptr<spng_ctx, ContextDeleter> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  KELM_REQUIRE(ctx != nullptr);
  KELM_REQUIRE(spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1) == 0);
  if (image.compressionLevel >= 0) {
    KELM_REQUIRE(spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, image.compressionLevel) ==
                 0);
  }
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(image.width);
  ihdr.height = static_cast<std::uint32_t>(image.height);
  ihdr.bit_depth = static_cast<std::uint8_t>(image.bitDepth);
  ihdr.color_type = image.colorType;
  ihdr.interlace_method = image.interlaced ? SPNG_INTERLACE_ADAM7 : SPNG_INTERLACE_NONE;
  KELM_REQUIRE(spng_set_ihdr(ctx.get(), &ihdr) == 0);

  if (image.colorType == PngImage::palette) {
    spng_plte plte{};
    plte.n_entries = static_cast<std::uint32_t>(image.paletteEntries.size());
    for (std::size_t i = 0; i < image.paletteEntries.size(); ++i) {
      plte.entries[i] = {image.paletteEntries[i][0], image.paletteEntries[i][1],
                         image.paletteEntries[i][2], 0};
    }
    KELM_REQUIRE(spng_set_plte(ctx.get(), &plte) == 0);
  }
  if (!image.paletteAlpha.empty() || image.transparentColor) {
    spng_trns trns{};
    trns.n_type3_entries = static_cast<std::uint32_t>(image.paletteAlpha.size());
    std::copy(image.paletteAlpha.begin(), image.paletteAlpha.end(), trns.type3_alpha);
    if (image.transparentColor) {
      trns.gray = (*image.transparentColor)[0];
      trns.red = (*image.transparentColor)[0];
      trns.green = (*image.transparentColor)[1];
      trns.blue = (*image.transparentColor)[2];
    }
    KELM_REQUIRE(spng_set_trns(ctx.get(), &trns) == 0);
  }

  std::vector<std::uint8_t> raw = rawRows(image);
  KELM_REQUIRE(spng_encode_image(ctx.get(), raw.data(), raw.size(), SPNG_FMT_PNG,
                                 SPNG_ENCODE_FINALIZE) == 0);
  std::size_t size = 0;
  int error = 0;
  void* buffer = spng_get_png_buffer(ctx.get(), &size, &error);
  KELM_REQUIRE(buffer != nullptr && error == 0);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  std::vector<std::uint8_t> out(bytes, bytes + size);
  std::free(buffer);
  return out;
}

std::uint32_t crc32(const std::uint8_t* data, std::size_t size) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> pngChunk(std::string_view type, const std::vector<std::uint8_t>& data) {
  KELM_REQUIRE(type.size() == 4);
  std::vector<std::uint8_t> out(12 + data.size());
  setU32(out.data(), static_cast<std::uint32_t>(data.size()));
  std::memcpy(out.data() + 4, type.data(), 4);
  if (!data.empty()) std::memcpy(out.data() + 8, data.data(), data.size());
  setU32(out.data() + 8 + data.size(), crc32(out.data() + 4, 4 + data.size()));
  return out;
}

std::vector<std::uint8_t> pngHead(std::uint32_t width, std::uint32_t height, int bitDepth,
                                  int colorType, bool interlaced) {
  std::vector<std::uint8_t> fields;
  putU32(fields, width);
  putU32(fields, height);
  fields.push_back(static_cast<std::uint8_t>(bitDepth));
  fields.push_back(static_cast<std::uint8_t>(colorType));
  fields.push_back(0);
  fields.push_back(0);
  fields.push_back(interlaced ? 1 : 0);
  std::vector<std::uint8_t> out(std::begin(kSignature), std::end(kSignature));
  const std::vector<std::uint8_t> ihdr = pngChunk("IHDR", fields);
  out.insert(out.end(), ihdr.begin(), ihdr.end());
  return out;
}

namespace {

// Writes bits least significant first, as deflate packs them.
class BitWriter {
 public:
  void put(std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) putBit((value >> i) & 1u);
  }
  // A Huffman code of `length` bits, sent most significant bit first.
  void putCode(std::uint32_t code, int length) {
    for (int i = length - 1; i >= 0; --i) putBit((code >> i) & 1u);
  }
  void putZeros(std::uint64_t count) {
    for (; count > 0 && used_ != 0; --count) putBit(0);
    bytes_.insert(bytes_.end(), static_cast<std::size_t>(count / 8), 0);
    for (count %= 8; count > 0; --count) putBit(0);
  }
  std::vector<std::uint8_t> finish() {
    if (used_ > 0) bytes_.push_back(current_);
    used_ = 0;
    current_ = 0;
    return std::move(bytes_);
  }

 private:
  void putBit(std::uint32_t bit) {
    current_ = static_cast<std::uint8_t>(current_ | bit << used_);
    if (++used_ == 8) {
      bytes_.push_back(current_);
      current_ = 0;
      used_ = 0;
    }
  }
  std::vector<std::uint8_t> bytes_;
  std::uint8_t current_ = 0;
  int used_ = 0;
};

}  // namespace

std::vector<std::uint8_t> zlibZeros(std::uint64_t count) {
  const std::uint64_t matches = count <= 1 ? 0 : (count - 1 + 257) / 258;
  const std::uint64_t total = 1 + 258 * matches;
  BitWriter out;
  out.put(0x78, 8);  // zlib header: deflate, 32K window, no dictionary, check bits
  out.put(0x01, 8);
  out.put(1, 1);   // final block
  out.put(2, 2);   // dynamic Huffman codes
  out.put(29, 5);  // 286 literal/length codes
  out.put(0, 5);   // 1 distance code
  out.put(14, 4);  // 18 code length codes
  // Code length code lengths in their transmission order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2
  // 14 1: symbol 18 gets 1 bit (code 0), symbols 1 and 2 get 2 bits (codes 10 and 11).
  const int order[18] = {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2};
  for (int length : order) out.put(static_cast<std::uint32_t>(length), 3);
  // Literal/length lengths: 0 -> 2, 1..255 -> 0, 256 -> 2, 257..284 -> 0, 285 -> 1; distance 0
  // -> 1. That makes literal 0 code 10, end of block 11, length 258 code 0, distance 1 code 0.
  out.putCode(3, 2);  // 2
  out.putCode(0, 1);  // 18: 138 zeros
  out.put(127, 7);
  out.putCode(0, 1);  // 18: 117 zeros
  out.put(106, 7);
  out.putCode(3, 2);  // 2
  out.putCode(0, 1);  // 18: 28 zeros
  out.put(17, 7);
  out.putCode(2, 2);          // 1
  out.putCode(2, 2);          // distance: 1
  out.putCode(2, 2);          // literal 0
  out.putZeros(2 * matches);  // each: length 258 (code 0), distance 1 (code 0)
  out.putCode(3, 2);          // end of block
  std::vector<std::uint8_t> bytes = out.finish();
  const std::uint32_t adler = static_cast<std::uint32_t>(total % 65521) << 16 | 1u;
  putU32(bytes, adler);
  return bytes;
}

}  // namespace TestSupport
