#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <QString>

#include "PrinterSimulator/TepraProSimulator.h"

namespace PrinterSimulator {

// Writes the printed labels first ... first + count - 1 of `printer` as PNG files named
// "label-0001.png" (numbered from 1 over the printer's whole life) in `folder`, replacing files
// of the same name. Returns one line per label for a log: the path written, or why nothing was.
// REQUIRES: first + count <= printer.printedLabels().size().
std::vector<std::string> writeLabelFiles(const TepraProSimulator& printer, std::size_t first,
                                         std::size_t count, const QString& folder);

}  // namespace PrinterSimulator
