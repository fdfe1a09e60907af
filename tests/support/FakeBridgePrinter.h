#pragma once

#include <deque>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>

#include "BridgeKit/BridgePrinter.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/RasterLabel.h"

namespace TestSupport {

// A printer that answers as the test scripts it and records what it was asked. Waits are gates
// (futures the test finishes, e.g. from a QPromise) rather than times, so tests never sleep.
class FakeBridgePrinter : public BridgeKit::BridgePrinter {
 public:
  // One answer of status(): the status to report or the error to throw.
  using StatusAnswer = std::variant<PrinterKit::PrinterStatus, std::exception_ptr>;
  struct Job {
    std::vector<PrinterKit::RasterLabel> labels;
    int tapeMm;
  };

  // A ready printer with tape of `tapeMm` loaded (codes as the printer sends them).
  static PrinterKit::PrinterStatus ready(std::optional<int> tapeMm = 12) {
    return {PrinterKit::PrinterStatus::State::ready,
            std::nullopt,
            tapeMm,
            static_cast<std::uint8_t>(tapeMm ? 3 : 0),
            0,
            0};
  }

  // --- The script.
  std::string name = "SR-MK1 Office";
  std::optional<PrinterKit::PrinterStatus> last;  // lastStatus(); each reported status replaces it
  bool printingElsewhere = false;                 // a job that did not come through print()
  // status() answers these in order, repeating the last; ready() when there are none.
  std::deque<StatusAnswer> statusAnswers;
  // status() and print() wait until these finish; a default QFuture is finished.
  QFuture<void> statusGate;
  QFuture<void> printGate;
  // print() throws this after its gate, when set.
  std::exception_ptr printFailure;

  // --- The record.
  std::vector<double> statusTimeouts;  // one entry per status() call, when it is called
  std::vector<Job> jobs;               // one entry per print() call, when it is called

  std::string displayName() const override { return name; }
  std::optional<PrinterKit::PrinterStatus> lastStatus() const override { return last; }
  bool isPrinting() const override { return printing_ || printingElsewhere; }

  QCoro::Task<PrinterKit::PrinterStatus> status(double timeout) override {
    statusTimeouts.push_back(timeout);
    StatusAnswer answer = statusAnswers.empty() ? StatusAnswer(ready()) : statusAnswers.front();
    if (statusAnswers.size() > 1) statusAnswers.pop_front();
    const QFuture<void> gate = statusGate;
    co_await gate;
    if (auto* error = std::get_if<std::exception_ptr>(&answer)) std::rethrow_exception(*error);
    const PrinterKit::PrinterStatus reported = std::get<PrinterKit::PrinterStatus>(answer);
    last = reported;
    co_return reported;
  }

  QCoro::Task<void> print(std::vector<PrinterKit::RasterLabel> labels, int tapeMm) override {
    jobs.push_back({std::move(labels), tapeMm});
    printing_ = true;
    const QFuture<void> gate = printGate;
    co_await gate;
    printing_ = false;
    if (printFailure) std::rethrow_exception(printFailure);
  }

 private:
  bool printing_ = false;
};

}  // namespace TestSupport
