#pragma once

#include <cstdint>
#include <vector>

namespace BenchSupport {

// A realistic label in 8-bit gray, row by row: two lines of blocky glyphs and a barcode, black on
// white, with grey anti-aliased edges on the bars and the glyphs' left sides. The same seed gives
// the same picture.
std::vector<std::uint8_t> drawLabel(int width, int height, unsigned seed);

}  // namespace BenchSupport
