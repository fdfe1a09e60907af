#include "PrinterKit/LabelBitmap.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "PrinterKit/TepraPro.h"
#include "support/PngWriter.h"

namespace PrinterKit {
namespace {

using Failure = LabelBitmap::Failure;
using TestSupport::PngImage;
using Bytes = std::vector<std::uint8_t>;

std::optional<Failure> decodeFailure(const Bytes& bytes) {
  try {
    LabelBitmap bitmap{std::span<const std::uint8_t>(bytes)};
  } catch (const Failure& failure) {
    return failure;
  }
  return std::nullopt;
}

LabelBitmap decode(const Bytes& bytes) { return LabelBitmap(std::span<const std::uint8_t>(bytes)); }
LabelBitmap decode(const PngImage& image) { return decode(TestSupport::writePng(image)); }

// A one-row image holding the given pixels, each a list of channel values.
PngImage rowOf(PngImage::ColorType type, int bitDepth,
               std::vector<std::vector<std::uint16_t>> pixels) {
  PngImage image;
  image.width = static_cast<int>(pixels.size());
  image.height = 1;
  image.colorType = type;
  image.bitDepth = bitDepth;
  for (const auto& pixel : pixels)
    image.samples.insert(image.samples.end(), pixel.begin(), pixel.end());
  return image;
}

PngImage withPalette(PngImage image, std::vector<std::array<std::uint8_t, 3>> entries,
                     std::vector<std::uint8_t> alpha = {}) {
  image.paletteEntries = std::move(entries);
  image.paletteAlpha = std::move(alpha);
  return image;
}

PngImage withTransparent(PngImage image, std::array<std::uint16_t, 3> color) {
  image.transparentColor = color;
  return image;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

const Bytes& iend() {
  static const Bytes chunk = TestSupport::pngChunk("IEND", {});
  return chunk;
}

std::vector<bool> randomPixels(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<bool> pixels(count);
  for (std::size_t i = 0; i < count; ++i) pixels[i] = random() % 3 == 0;
  return pixels;
}

struct InkCase {
  const char* name;
  PngImage image;
  std::vector<bool> ink;
};

TEST(LabelBitmapTest, InkFollowsEachSampleLayout) {
  using T = PngImage;
  const InkCase cases[] = {
      {"gray 8: below 128 is ink",
       rowOf(T::gray, 8, {{0}, {127}, {128}, {255}}),
       {true, true, false, false}},
      {"rgb 8: sum below 384 is ink",
       rowOf(T::rgb, 8, {{127, 128, 128}, {128, 128, 128}, {0, 255, 128}, {255, 0, 0}}),
       {true, false, true, true}},
      // Straight alpha over white: v = (mean * a + (255 - a) * 255) / 255, the mean rounded
      // down; v < 128 is ink.
      {"rgba 8",
       rowOf(T::rgba, 8,
             {{0, 0, 0, 128},
              {0, 0, 0, 127},
              {0, 0, 0, 0},
              {255, 0, 0, 0},
              {93, 94, 94, 200},
              {94, 94, 94, 200},
              {127, 128, 128, 255},
              {128, 128, 128, 255}}),
       {true, false, false, false, true, false, true, false}},
      {"gray+alpha 8",
       rowOf(T::grayAlpha, 8, {{0, 128}, {0, 127}, {93, 200}, {94, 200}, {127, 255}, {128, 255}}),
       {true, false, true, false, true, false}},
      // The other layouts are composited over white per channel with rounding:
      // c' = (c * a + 255 * (255 - a) + 127) / 255, and ink is c' summed below 384.
      {"gray 16",
       rowOf(T::gray, 16, {{0x7FFF}, {0x8000}, {0}, {0xFFFF}}),
       {true, false, true, false}},
      {"rgba 16",
       rowOf(T::rgba, 16,
             {{0, 0, 0, 0xFFFF},
              {0, 0, 0, 0},
              {0, 0, 0, 0x80FF},
              {0, 0, 0, 0x7FFF},
              {0xFFFF, 0, 0, 0xFFFF}}),
       {true, false, true, false, true}},
      {"gray+alpha 16",
       rowOf(T::grayAlpha, 16, {{0, 0xFFFF}, {0, 0}, {0xFFFF, 0xFFFF}}),
       {true, false, false}},
      {"rgb 16",
       rowOf(T::rgb, 16, {{0x7FFF, 0x8000, 0x8000}, {0x8000, 0x8000, 0x8000}}),
       {true, false}},
      {"gray 1",
       rowOf(T::gray, 1, {{0}, {1}, {1}, {0}, {0}, {1}, {0}, {1}, {0}}),
       {true, false, false, true, true, false, true, false, true}},
      {"gray 2: 85 ink, 170 not",
       rowOf(T::gray, 2, {{0}, {1}, {2}, {3}}),
       {true, true, false, false}},
      {"gray 4: 119 ink, 136 not",
       rowOf(T::gray, 4, {{7}, {8}, {0}, {15}, {7}}),
       {true, false, true, false, true}},
      {"palette",
       withPalette(rowOf(T::palette, 8, {{0}, {1}, {2}, {3}, {4}}),
                   {{0, 0, 0}, {255, 255, 255}, {127, 128, 128}, {128, 128, 128}, {200, 10, 10}}),
       {true, false, true, false, true}},
      {"palette 2-bit",
       withPalette(rowOf(T::palette, 2, {{0}, {1}, {2}, {1}, {0}}),
                   {{0, 0, 0}, {255, 255, 255}, {100, 100, 100}}),
       {true, false, true, false, true}},
      // Black at alpha 128 gives 127 per channel (ink), at alpha 127 gives 128 (not).
      {"palette with alpha",
       withPalette(rowOf(T::palette, 8, {{0}, {1}, {2}, {3}, {4}}),
                   {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {255, 255, 255}},
                   {0, 128, 127, 255}),
       {false, true, false, true, false}},
      {"gray 8 with a transparent value",
       withTransparent(rowOf(T::gray, 8, {{0}, {1}, {127}, {128}}), {0, 0, 0}),
       {false, true, true, false}},
      {"gray 1 with a transparent value",
       withTransparent(rowOf(T::gray, 1, {{0}, {1}}), {0, 0, 0}),
       {false, false}},
      {"rgb 8 with a transparent colour",
       withTransparent(rowOf(T::rgb, 8, {{0, 0, 0}, {0, 0, 1}, {10, 20, 30}}), {10, 20, 30}),
       {true, true, false}},
  };
  for (const InkCase& c : cases) {
    SCOPED_TRACE(c.name);
    const LabelBitmap bitmap = decode(c.image);
    ASSERT_EQ(bitmap.width(), static_cast<int>(c.ink.size()));
    ASSERT_EQ(bitmap.height(), 1);
    EXPECT_EQ(bitmap.pixels(), c.ink);
  }
}

// A picture drawn in one layout: ink where `pixels` says so, with light and dark values that
// differ per pixel so a mixed-up order shows.
PngImage picture(int width, int height, PngImage::ColorType type, int bitDepth,
                 const std::vector<bool>& pixels) {
  PngImage image = PngImage::filled(width, height, type, bitDepth,
                                    std::vector<std::uint16_t>(PngImage::channels(type), 0));
  const std::uint16_t top = static_cast<std::uint16_t>((1u << bitDepth) - 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const bool ink = pixels[static_cast<std::size_t>(y * width + x)];
      const std::uint16_t shade = static_cast<std::uint16_t>(bitDepth < 8 ? 0 : (x + y) % 40);
      const std::uint16_t v = ink ? shade : static_cast<std::uint16_t>(top - shade);
      switch (type) {
        case PngImage::gray:
        case PngImage::palette:
          image.set(x, y, {static_cast<std::uint16_t>(type == PngImage::palette ? !ink : v)});
          break;
        case PngImage::grayAlpha:
          image.set(x, y, {v, top});
          break;
        case PngImage::rgb:
          image.set(x, y, {v, top, 0});
          break;
        case PngImage::rgba:
          image.set(x, y, {0, v, v, static_cast<std::uint16_t>(ink ? top : 0)});
          break;
      }
    }
  }
  if (type == PngImage::palette) image.paletteEntries = {{0, 0, 0}, {255, 255, 255}};
  return image;
}

TEST(LabelBitmapTest, DecodesRowsFromTheTopInEveryLayoutInterlacedOrNot) {
  struct Layout {
    PngImage::ColorType type;
    int bitDepth;
  };
  const Layout layouts[] = {{PngImage::gray, 8},      {PngImage::gray, 1},   {PngImage::gray, 16},
                            {PngImage::grayAlpha, 8}, {PngImage::rgb, 8},    {PngImage::rgba, 8},
                            {PngImage::rgba, 16},     {PngImage::palette, 4}};
  const int width = 37;
  const int height = 23;
  const std::vector<bool> pixels = randomPixels(width * height, 7);
  for (const Layout& layout : layouts) {
    for (bool interlaced : {false, true}) {
      SCOPED_TRACE(testing::Message() << "type " << int{layout.type} << " depth " << layout.bitDepth
                                      << (interlaced ? " interlaced" : ""));
      PngImage image = picture(width, height, layout.type, layout.bitDepth, pixels);
      image.interlaced = interlaced;
      const LabelBitmap bitmap = decode(image);
      EXPECT_EQ(bitmap, LabelBitmap(width, height, pixels));
    }
  }
}

TEST(LabelBitmapTest, SizeLimitsAndTheirOrder) {
  auto gray = [](int width, int height) {
    return TestSupport::writePng(PngImage::filled(width, height, PngImage::gray, 1, {1}));
  };
  const std::int32_t huge = 2147483647;
  struct Case {
    const char* name;
    Bytes bytes;
    std::optional<Failure> failure;
  };
  const Case cases[] = {
      {"largest", gray(2835, 600), std::nullopt},
      {"smallest", gray(1, 1), std::nullopt},
      {"one line too long", gray(2836, 1), Failure::tooLong(2836, 2835)},
      {"too long and short", gray(3000, 100), Failure::tooLong(3000, 2835)},
      {"one row too tall", gray(1, 601), Failure::notAnImage()},
      {"too tall wins over too long", gray(3000, 601), Failure::notAnImage()},
      {"no width", concat({TestSupport::pngHead(0, 10), iend()}), Failure::notAnImage()},
      {"no height", concat({TestSupport::pngHead(10, 0), iend()}), Failure::notAnImage()},
      // The widest header PNG allows, in the layouts with the most and the fewest bits.
      {"widest gray", concat({TestSupport::pngHead(huge, 600, 1, 0), iend()}),
       Failure::tooLong(huge, 2835)},
      {"widest rgba 16", concat({TestSupport::pngHead(huge, 600, 16, 6), iend()}),
       Failure::tooLong(huge, 2835)},
      {"widest and too tall", concat({TestSupport::pngHead(huge, 601, 16, 6), iend()}),
       Failure::notAnImage()},
      {"tallest", concat({TestSupport::pngHead(100, huge), iend()}), Failure::notAnImage()},
      {"width beyond PNG", concat({TestSupport::pngHead(0x80000000u, 10), iend()}),
       Failure::notAnImage()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeFailure(c.bytes), c.failure);
  }
  const LabelBitmap largest = decode(cases[0].bytes);
  EXPECT_EQ(largest.width(), 2835);
  EXPECT_EQ(largest.height(), 600);
}

TEST(LabelBitmapTest, OnlyPngIsAnImage) {
  std::mt19937 random(3);
  Bytes noise(512);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
  const Bytes png = TestSupport::writePng(PngImage::filled(3, 3, PngImage::gray, 8, {0}));
  Bytes pngUpperCase = png;
  pngUpperCase[1] = 'p';
  const Bytes cases[] = {
      {},
      {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00},
      {'G', 'I', 'F', '8', '9', 'a', 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00},
      noise,
      pngUpperCase,
      Bytes(png.begin(), png.begin() + 8),
      concat({Bytes(png.begin(), png.begin() + 8), iend()}),  // no header
  };
  for (const Bytes& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    EXPECT_EQ(decodeFailure(bytes), Failure::notAnImage());
  }
}

TEST(LabelBitmapTest, EveryPrefixOfAnImageIsNotAnImage) {
  PngImage plain = picture(11, 5, PngImage::rgb, 8, randomPixels(55, 1));
  PngImage interlaced = plain;
  interlaced.interlaced = true;
  const Bytes withText = [&] {
    // A text chunk between the image data and IEND must be read whole as well.
    const Bytes png = TestSupport::writePng(plain);
    const Bytes text = TestSupport::pngChunk("tEXt", {'k', 0, 'v'});
    return concat({Bytes(png.begin(), png.end() - 12), text, iend()});
  }();
  for (const Bytes& png :
       {TestSupport::writePng(plain), TestSupport::writePng(interlaced), withText}) {
    const LabelBitmap whole = decode(png);
    EXPECT_EQ(whole, LabelBitmap(11, 5, randomPixels(55, 1)));
    for (std::size_t n = 0; n < png.size(); ++n) {
      EXPECT_EQ(decodeFailure(Bytes(png.begin(), png.begin() + static_cast<long>(n))),
                Failure::notAnImage())
          << "prefix of " << n << " of " << png.size() << " bytes";
    }
    // Bytes after the end are not part of the image.
    EXPECT_EQ(decode(concat({png, {0, 1, 2}})), whole);
  }
}

TEST(LabelBitmapTest, DamagedImagesAreNotImages) {
  const Bytes png =
      TestSupport::writePng(PngImage::filled(9, 4, PngImage::rgba, 8, {0, 0, 0, 255}));
  ASSERT_EQ(decode(png).pixels(), std::vector<bool>(36, true));
  auto flipped = [&](std::size_t at) {
    Bytes bytes = png;
    bytes[at] ^= 0x01;
    return bytes;
  };
  const Bytes head = TestSupport::pngHead(9, 4, 8, 6);
  const Bytes rowsOf9 = Bytes(4 * (1 + 9 * 4), 0);  // filter byte and black, transparent pixels
  Bytes damagedIdat = TestSupport::pngChunk("IDAT", {1, 2, 3});
  damagedIdat.back() ^= 1;
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"header CRC", flipped(29)},
      {"image data CRC", flipped(png.size() - 13)},
      {"image data byte", flipped(41 + 2)},
      {"end CRC", flipped(png.size() - 1)},
      {"image data not zlib", concat({head, TestSupport::pngChunk("IDAT", rowsOf9), iend()})},
      {"image data cut short",
       concat({head, TestSupport::pngChunk("IDAT", TestSupport::zlibZeros(1)), iend()})},
      {"no image data", concat({head, iend()})},
      {"no end", Bytes(png.begin(), png.end() - 12)},
      {"unknown critical chunk",
       concat({Bytes(png.begin(), png.begin() + 33), TestSupport::pngChunk("ABCD", {1}),
               Bytes(png.begin() + 33, png.end())})},
      {"unknown critical chunk after the image data",
       concat({Bytes(png.begin(), png.end() - 12), TestSupport::pngChunk("ABCD", {1}), iend()})},
      {"damaged image data chunk after the image data",
       concat({Bytes(png.begin(), png.end() - 12), damagedIdat, iend()})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decodeFailure(c.bytes), Failure::notAnImage());
  }
}

TEST(LabelBitmapTest, AncillaryChunksDoNotMatter) {
  // A damaged or oversized ancillary chunk is skipped, gamma and colour profiles are ignored.
  const Bytes png = TestSupport::writePng(PngImage::filled(2, 1, PngImage::gray, 8, {100}));
  const Bytes afterHeader(png.begin() + 33, png.end());
  Bytes badText = TestSupport::pngChunk("tEXt", {'k', 0, 'v'});
  badText.back() ^= 1;
  Bytes bigText(8 << 20, 'x');
  bigText[1] = 0;
  const Bytes chunks[] = {
      badText,
      TestSupport::pngChunk("tEXt", bigText),
      TestSupport::pngChunk("gAMA", {0, 0, 0x27, 0x10}),  // gamma 0.1
      TestSupport::pngChunk("sRGB", {0}),
      TestSupport::pngChunk("abCd", {1, 2, 3}),
  };
  for (const Bytes& chunk : chunks) {
    SCOPED_TRACE(std::string(chunk.begin() + 4, chunk.begin() + 8));
    const Bytes bytes = concat({Bytes(png.begin(), png.begin() + 33), chunk, afterHeader});
    EXPECT_EQ(decode(bytes), LabelBitmap(2, 1, {true, true}));
  }
}

TEST(LabelBitmapTest, ImageDataBeyondTheRowsIsIgnored) {
  // A 2835 x 1 image whose image data would inflate to 1 GiB (a megabyte of input): only the one
  // row the header declares is read, and it decodes as usual.
  const Bytes bomb = concat(
      {TestSupport::pngHead(2835, 1),
       TestSupport::pngChunk("IDAT", TestSupport::zlibZeros(std::uint64_t{1} << 30)), iend()});
  EXPECT_EQ(decode(bomb), LabelBitmap(2835, 1, std::vector<bool>(2835, true)));
}

TEST(LabelBitmapTest, CompressedTextBombsAreRefused) {
  // Compressed text chunks that would inflate to 1 GiB each; the decoder keeps text, so without a
  // limit it would hold them all in memory. It stops inflating at the limit and gives up on the
  // file.
  const Bytes png = TestSupport::writePng(PngImage::filled(2, 1, PngImage::gray, 8, {0}));
  const Bytes bomb = TestSupport::zlibZeros(std::uint64_t{1} << 30);
  const Bytes zText = TestSupport::pngChunk("zTXt", concat({{'k', 0, 0}, bomb}));
  const Bytes iText = TestSupport::pngChunk("iTXt", concat({{'k', 0, 1, 0, 0, 0}, bomb}));
  const Bytes profile = TestSupport::pngChunk("iCCP", concat({{'k', 0, 0}, bomb}));
  for (const Bytes& chunk : {zText, iText, profile}) {
    SCOPED_TRACE(std::string(chunk.begin() + 4, chunk.begin() + 8));
    EXPECT_EQ(decodeFailure(concat({Bytes(png.begin(), png.begin() + 33), chunk,
                                    Bytes(png.begin() + 33, png.end())})),
              Failure::notAnImage());
  }
}

// The rule itself, pixel by pixel: dot j of line x is pixel (x, top + dots - 1 - j).
void expectColumnsFollowTheRule(const LabelBitmap& bitmap, int dots) {
  const RasterLabel label = bitmap.columns(dots);
  ASSERT_EQ(label.dots(), dots);
  ASSERT_EQ(label.lineCount(), static_cast<std::size_t>(bitmap.width()));
  const int top = (bitmap.height() - dots) / 2;
  for (int x = 0; x < bitmap.width(); ++x) {
    const auto line = label.line(static_cast<std::size_t>(x));
    for (int j = 0; j < dots; ++j) {
      ASSERT_EQ(label.dot(static_cast<std::size_t>(x), j), bitmap.pixel(x, top + dots - 1 - j))
          << "line " << x << " dot " << j;
    }
    if (dots % 8 != 0) {  // padding bits stay blank
      ASSERT_EQ(line.back() & (0xFFu >> (dots % 8)), 0u) << "line " << x;
    }
  }
}

TEST(LabelBitmapTest, ColumnsTakeTheMiddleRowsBottomFirst) {
  const struct {
    int width;
    int height;
    int dots;
  } sizes[] = {{100, 144, 144}, {100, 150, 144},  {100, 145, 144}, {13, 300, 108},
               {9, 256, 256},   {2835, 600, 216}, {1, 12, 12},     {5, 7, 0}};
  unsigned seed = 1;
  for (const auto& size : sizes) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " at " << size.dots);
    const LabelBitmap bitmap(
        size.width, size.height,
        randomPixels(static_cast<std::size_t>(size.width * size.height), ++seed));
    expectColumnsFollowTheRule(bitmap, size.dots);
  }
}

TEST(LabelBitmapTest, ColumnWindowRows) {
  // Ink in one row of a 4-pixel-wide image; where it lands at 144 dots, or nowhere.
  const struct {
    int height;
    int inkRow;
    std::optional<int> dot;
  } cases[] = {
      {144, 143, 0}, {144, 0, 143},          {150, 146, 0},
      {150, 3, 143}, {150, 2, std::nullopt}, {150, 147, std::nullopt},
      {145, 143, 0}, {145, 0, 143},          {145, 144, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "height " << c.height << " ink row " << c.inkRow);
    std::vector<bool> pixels(static_cast<std::size_t>(4 * c.height));
    pixels[static_cast<std::size_t>(4 * c.inkRow + 1)] = true;
    const RasterLabel label = LabelBitmap(4, c.height, pixels).columns(144);
    ASSERT_EQ(label.lineCount(), 4u);
    std::vector<bool> expected(144);
    if (c.dot) expected[static_cast<std::size_t>(*c.dot)] = true;
    EXPECT_EQ(label.lineDots(1), expected);
    EXPECT_EQ(label.lineDots(0), std::vector<bool>(144));
  }
}

TEST(LabelBitmapTest, ColumnsRefuseShortAndLongImages) {
  const struct {
    int width;
    int height;
    int dots;
    Failure failure;
  } cases[] = {
      {10, 200, 256, Failure::tooShort(200, 256)},
      {10, 107, 108, Failure::tooShort(107, 108)},
      {2836, 144, 144, Failure::tooLong(2836, 2835)},
      {2836, 100, 144, Failure::tooShort(100, 144)},
  };
  for (const auto& c : cases) {
    const LabelBitmap bitmap(c.width, c.height,
                             std::vector<bool>(static_cast<std::size_t>(c.width * c.height), true));
    try {
      bitmap.columns(c.dots);
      ADD_FAILURE() << "no failure for " << c.width << "x" << c.height;
    } catch (const Failure& failure) {
      EXPECT_EQ(failure, c.failure);
    }
  }
  EXPECT_EQ(LabelBitmap(2835, 144, std::vector<bool>(2835 * 144)).columns(144).lineCount(), 2835u);
}

TEST(LabelBitmapTest, InkOutsideCountsTheCutRows) {
  // 100 x 150: at 144 dots rows 0..2 and 147..149 are cut.
  std::vector<bool> pixels(100 * 150);
  auto ink = [&](int x, int y) { pixels[static_cast<std::size_t>(y * 100 + x)] = true; };
  for (int x = 0; x < 100; x += 2) ink(x, 0);  // 50
  ink(7, 2);                                   // 1
  ink(99, 149);                                // 1
  ink(3, 147);                                 // 1
  for (int x = 0; x < 100; ++x) {              // inside the window: never counted
    ink(x, 3);
    ink(x, 146);
  }
  const LabelBitmap bitmap(100, 150, pixels);
  EXPECT_EQ(bitmap.inkOutside(144), 53u);
  EXPECT_EQ(bitmap.inkOutside(148), 51u);  // rows 0 and 149 cut
  EXPECT_EQ(bitmap.inkOutside(150), 0u);
  EXPECT_EQ(bitmap.inkOutside(256), 0u);
  EXPECT_EQ(bitmap.inkOutside(0), 53u + 200u);
}

TEST(LabelBitmapTest, PixelsRoundTrip) {
  const std::pair<int, int> sizes[] = {{0, 0}, {0, 3}, {3, 0}, {1, 1}, {8, 2}, {9, 3}, {70, 5}};
  for (const auto& [width, height] : sizes) {
    const std::vector<bool> pixels = randomPixels(static_cast<std::size_t>(width * height), 5);
    const LabelBitmap bitmap(width, height, pixels);
    EXPECT_EQ(bitmap.width(), width);
    EXPECT_EQ(bitmap.height(), height);
    EXPECT_EQ(bitmap.pixels(), pixels);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        EXPECT_EQ(bitmap.pixel(x, y), pixels[static_cast<std::size_t>(y * width + x)]);
      }
    }
  }
  EXPECT_NE(LabelBitmap(2, 1, {true, false}), LabelBitmap(2, 1, {false, true}));
  EXPECT_NE(LabelBitmap(2, 1, {true, false}), LabelBitmap(1, 2, {true, false}));
}

TEST(LabelBitmapDeathTest, PixelCountMustMatchTheSize) {
  EXPECT_DEATH(LabelBitmap(2, 2, {true, false, true}), "precondition");
}

TEST(LabelBitmapTest, FailuresCompareByCaseAndPayload) {
  EXPECT_EQ(Failure::tooShort(200, 256), Failure::tooShort(200, 256));
  EXPECT_NE(Failure::tooShort(200, 256), Failure::tooShort(200, 216));
  EXPECT_NE(Failure::tooLong(200, 2835), Failure::tooShort(200, 2835));
  EXPECT_EQ(Failure::notAnImage(), Failure::notAnImage());
  EXPECT_STREQ(Failure::tooLong(3000, 2835).what(), "label too long: 3000 lines, at most 2835");
}

}  // namespace
}  // namespace PrinterKit
