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

#include "PrintTime.h"
#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace {

using PrinterKit::SPPPrinter;
using PrinterSimulator::SimulatorTransport;
using PrinterSimulator::TepraProSimulator;

QCoro::Task<bool> figure(bool reportsChanges, int count) {
  TepraProSimulator sim;
  sim.settings().linkBitsPerSecond = BenchSupport::kFigureLinkBitsPerSecond;
  sim.settings().mmPerSecond = BenchSupport::kFigureMmPerSecond;
  sim.settings().reportsChanges = reportsChanges;
  auto printer = SPPPrinter::create("fc-0f-e7-00-00-01", std::nullopt,
                                    std::make_unique<SimulatorTransport>(sim));
  const bool met = co_await BenchSupport::timePrint(printer, count, reportsChanges);
  co_return met;
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
