#pragma once

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include <QCoroTask>

#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterKit/TepraPro.h"

namespace BenchSupport {

// The print-time figures: labels of 50 mm (709 lines at 216 dots, 18 mm tape) sent to a printer
// simulator whose link carries 400 kbit/s and which prints 20 mm per second.
inline constexpr int kFigureLines = 709;
inline constexpr int kFigureDots = 216;
inline constexpr double kFigureLinkBitsPerSecond = 400000.0;
inline constexpr double kFigureMmPerSecond = 20.0;

// A checkerboard of 8-dot squares.
inline PrinterKit::RasterLabel figureLabel() {
  std::vector<std::vector<bool>> lines(kFigureLines);
  for (int i = 0; i < kFigureLines; ++i) {
    for (int j = 0; j < kFigureDots; ++j) lines[i].push_back((i / 8 + j / 8) % 2 == 0);
  }
  return PrinterKit::RasterLabel::fromLines(lines, kFigureDots);
}

// Prints `count` figure labels on `printer` and writes one line: the wall time of
// SPPPrinter::print (link opening and status check included) against the bound, the link time of
// the job's bytes plus the printing time. The target is 1.05 x the bound for a printer that reports
// each change by itself, the bound plus one poll interval for one that answers only when asked.
// Closes the printer. Yields whether the print succeeded within the target.
inline QCoro::Task<bool> timePrint(std::shared_ptr<PrinterKit::SPPPrinter> printer, int count,
                                   bool reportsChanges) {
  using PrinterKit::TepraPro;
  const std::vector<PrinterKit::RasterLabel> labels(static_cast<std::size_t>(count), figureLabel());
  const double jobBytes = static_cast<double>(TepraPro::job(labels, kFigureDots).size());
  const double mm = count * kFigureLines / TepraPro::dpi * 25.4;
  const double bound = jobBytes * 8 / kFigureLinkBitsPerSecond + mm / kFigureMmPerSecond;

  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  try {
    co_await printer->print(labels, 18);
  } catch (const std::exception& e) {
    std::printf("print failed: %s\n", e.what());
    ok = false;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  printer->close();
  const double target =
      reportsChanges ? 1.05 * bound : bound + PrinterKit::SPPPrinter::jobPollInterval;
  std::printf(
      "%-16s %2d labels  %7.0f bytes  wall %6.2f s  bound %6.2f s  ratio %5.3f  "
      "target %6.2f s  %s\n",
      reportsChanges ? "reportsChanges" : "polled", count, jobBytes, wall, bound, wall / bound,
      target, ok && wall <= target ? "met" : "MISSED");
  co_return ok&& wall <= target;
}

}  // namespace BenchSupport
