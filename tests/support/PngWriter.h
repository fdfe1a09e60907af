#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace TestSupport {

// A PNG image to encode, in the file's own terms.
struct PngImage {
  enum ColorType : std::uint8_t { gray = 0, rgb = 2, palette = 3, grayAlpha = 4, rgba = 6 };

  int width = 0;
  int height = 0;
  ColorType colorType = gray;
  int bitDepth = 8;  // 1, 2, 4, 8 or 16, as the colour type allows
  // Samples row by row from the top, the channels of a pixel in file order (gray, alpha /
  // red, green, blue, alpha), each below 2^bitDepth; for a palette image, the entry index.
  std::vector<std::uint16_t> samples;
  std::vector<std::array<std::uint8_t, 3>> paletteEntries;
  // tRNS: the alpha of the first palette entries, or the one transparent gray / RGB value
  // (gray uses the first element).
  std::vector<std::uint8_t> paletteAlpha;
  std::optional<std::array<std::uint16_t, 3>> transparentColor;
  bool interlaced = false;
  int compressionLevel = -1;  // zlib level 0..9; -1 the library's default

  static int channels(ColorType type);

  // An image whose every pixel has the same channel values.
  static PngImage filled(int width, int height, ColorType type, int bitDepth,
                         std::vector<std::uint16_t> pixel);
  // Sets the channels of pixel (x, y). REQUIRES: in range, pixel has channels() entries.
  void set(int x, int y, std::initializer_list<std::uint16_t> pixel);
};

// Encodes the image with libspng. Aborts on a layout the encoder rejects.
std::vector<std::uint8_t> writePng(const PngImage& image);

// One chunk as it is stored: length, type, data, CRC-32 of type and data.
std::vector<std::uint8_t> pngChunk(std::string_view type, const std::vector<std::uint8_t>& data);
// The 8-byte signature followed by an IHDR chunk with the given fields (no image data).
std::vector<std::uint8_t> pngHead(std::uint32_t width, std::uint32_t height, int bitDepth = 8,
                                  int colorType = 0, bool interlaced = false);
std::uint32_t crc32(const std::uint8_t* data, std::size_t size);

// A zlib stream that inflates to `count` zero bytes or a little more (up to 257 more), about a
// thousandth of that long: one dynamic-Huffman block of 258-byte matches, 2 bits each.
std::vector<std::uint8_t> zlibZeros(std::uint64_t count);

}  // namespace TestSupport
