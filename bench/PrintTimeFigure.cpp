// How close a print comes to the physical bound. For 1 and for 10 labels of 50 mm (709 lines at
// 216 dots, 18 mm tape), with the printer simulator at 400 kbit/s and 20 mm/s, prints the wall
// time of SPPPrinter::print (link opening and status check included) and the bound: the time the
// link needs for the job's bytes plus the printing time. Both simulator modes: reporting every
// change by itself (target: at most 1.05 x the bound) and answering only when asked (target: at
// most the bound plus one poll interval of the engine).
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

#include <QCoreApplication>
#include <QCoroTask>
#include <QTimer>

#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace {

using PrinterKit::RasterLabel;
using PrinterKit::SPPPrinter;
using PrinterKit::TepraPro;
using PrinterSimulator::SimulatorTransport;
using PrinterSimulator::TepraProSimulator;

constexpr int kLines = 709;
constexpr int kDots = 216;
constexpr double kLinkBitsPerSecond = 400000.0;
constexpr double kMmPerSecond = 20.0;

RasterLabel label() {
  std::vector<std::vector<bool>> lines(kLines);
  for (int i = 0; i < kLines; ++i) {
    for (int j = 0; j < kDots; ++j) lines[i].push_back((i / 8 + j / 8) % 2 == 0);
  }
  return RasterLabel::fromLines(lines, kDots);
}

QCoro::Task<bool> figure(bool reportsChanges, int count) {
  TepraProSimulator sim;
  sim.settings().linkBitsPerSecond = kLinkBitsPerSecond;
  sim.settings().mmPerSecond = kMmPerSecond;
  sim.settings().reportsChanges = reportsChanges;
  auto printer = SPPPrinter::create("fc-0f-e7-00-00-01", std::nullopt,
                                    std::make_unique<SimulatorTransport>(sim));
  const std::vector<RasterLabel> labels(static_cast<std::size_t>(count), label());
  const double jobBytes = static_cast<double>(TepraPro::job(labels, kDots).size());
  const double mm = count * kLines / TepraPro::dpi * 25.4;
  const double bound = jobBytes * 8 / kLinkBitsPerSecond + mm / kMmPerSecond;

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
  const double target = reportsChanges ? 1.05 * bound : bound + SPPPrinter::jobPollInterval;
  std::printf(
      "%-16s %2d labels  %7.0f bytes  wall %6.2f s  bound %6.2f s  ratio %5.3f  "
      "target %6.2f s  %s\n",
      reportsChanges ? "reportsChanges" : "polled", count, jobBytes, wall, bound, wall / bound,
      target, ok && wall <= target ? "met" : "MISSED");
  co_return ok&& wall <= target;
}

QCoro::Task<> run(int* status) {
  bool all = true;
  for (const bool reportsChanges : {true, false}) {
    for (const int count : {1, 10}) all = co_await figure(reportsChanges, count) && all;
  }
  *status = all ? 0 : 1;
  QCoreApplication::quit();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int status = 1;
  QTimer::singleShot(0, [&status] { run(&status); });
  app.exec();
  return status;
}
