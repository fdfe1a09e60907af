#include "LabelImages.h"

#include <algorithm>
#include <cstddef>
#include <random>

namespace BenchSupport {

std::vector<std::uint8_t> drawLabel(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> gray(static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                                 255);
  auto put = [&](int x, int y, std::uint8_t v) {
    if (x >= 0 && x < width && y >= 0 && y < height) {
      std::uint8_t& p = gray[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                             static_cast<std::size_t>(x)];
      p = std::min(p, v);
    }
  };
  auto block = [&](int x0, int y0, int w, int h) {
    for (int y = y0; y < y0 + h; ++y) {
      put(x0 - 1, y, 160);  // anti-aliased edge
      for (int x = x0; x < x0 + w; ++x) put(x, y, 0);
      put(x0 + w, y, 200);
    }
  };
  // Two lines of text in the upper part: 5 x 7 glyph cells.
  const int cell = std::max(2, height / 60);
  for (int line = 0; line < 2; ++line) {
    const int y0 = height / 10 + line * cell * 10;
    for (int x0 = cell * 2; x0 + cell * 5 < width; x0 += cell * 7) {
      if (random() % 8 == 0) continue;  // a space
      for (int gy = 0; gy < 7; ++gy) {
        for (int gx = 0; gx < 5; ++gx) {
          if (random() % 2 == 0) block(x0 + gx * cell, y0 + gy * cell, cell, cell);
        }
      }
    }
  }
  // A barcode in the lower part: bars and gaps of 1 to 4 modules.
  const int module = std::max(1, width / 600);
  const int barTop = height / 2;
  const int barHeight = height * 2 / 5;
  bool bar = true;
  for (int x = module * 10; x < width - module * 10;) {
    const int w = module * static_cast<int>(1 + random() % 4);
    if (bar) block(x, barTop, w, barHeight);
    x += w;
    bar = !bar;
  }
  return gray;
}

}  // namespace BenchSupport
