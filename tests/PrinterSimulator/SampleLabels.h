#pragma once

#include <cstddef>
#include <vector>

#include "PrinterKit/RasterLabel.h"

namespace PrinterSimulator {

// Labels with a pattern that tells every line and dot apart: one label per entry of
// `lineCounts`, each `dots` dots across.
inline std::vector<PrinterKit::RasterLabel> sampleLabels(
    int dots, const std::vector<std::size_t>& lineCounts) {
  std::vector<PrinterKit::RasterLabel> labels;
  for (std::size_t k = 0; k < lineCounts.size(); ++k) {
    std::vector<std::vector<bool>> lines(lineCounts[k], std::vector<bool>(dots));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      for (int j = 0; j < dots; ++j) {
        lines[i][j] = j == 0 || (i * 7 + static_cast<std::size_t>(j) * 3 + k) % 5 == 0;
      }
    }
    labels.push_back(PrinterKit::RasterLabel::fromLines(lines, dots));
  }
  return labels;
}

}  // namespace PrinterSimulator
