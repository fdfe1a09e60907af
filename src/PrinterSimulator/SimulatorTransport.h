#pragma once

#include <coroutine>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <QCoroTask>
#include <QObject>

#include "PrinterKit/PrinterTransport.h"
#include "PrinterKit/SPPPrinterFailure.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace PrinterSimulator {

// An in-process channel to a simulator: a PrinterKit::PrinterTransport for unit tests and for the
// application's simulated printer. Keeps every guarantee of PrinterTransport:
// - write() completes when the simulator's link has carried the bytes (after bytes * 8 /
//   linkBitsPerSecond seconds when a rate is set), before the printer's answer to them arrives;
// - onData delivers the printer's replies later on the event loop, never from inside a call;
// - when the simulator drops the link, the channel closes: pending writes fail with
//   connectionLost, then onClosed is called.
// Takes over the simulator's `send` and `onLinkDropped` for its whole life.
// REQUIRES: the simulator outlives the transport; both live on one thread.
class SimulatorTransport : public PrinterKit::PrinterTransport {
 public:
  explicit SimulatorTransport(TepraProSimulator& printer);
  ~SimulatorTransport() override;
  SimulatorTransport(const SimulatorTransport&) = delete;
  SimulatorTransport& operator=(const SimulatorTransport&) = delete;

  bool isOpen() const override { return open_; }
  // Throws the failure set by failOpenWith, if any.
  QCoro::Task<void> open() override;
  // An empty write returns at once, even on a closed channel; otherwise throws connectionLost
  // when the channel is closed or closes before the bytes have crossed.
  QCoro::Task<void> write(std::vector<std::uint8_t> bytes) override;
  // Bytes still on the link are lost.
  void close() override;

  // Makes every open() of a closed channel fail with `failure`; nullopt lets it succeed again.
  void failOpenWith(std::optional<PrinterKit::SPPPrinterFailure> failure);
  // How many times the channel was opened.
  int opens() const { return opens_; }

 private:
  struct PendingWrite {
    enum class Outcome { waiting, crossed, lost };
    Outcome outcome = Outcome::waiting;
    std::coroutine_handle<> waiter;
  };
  struct Crossing;

  void settle(const std::shared_ptr<PendingWrite>& write, PendingWrite::Outcome outcome);
  void loseChannel();

  TepraProSimulator& printer_;
  QObject context_;  // posted deliveries die with the transport
  bool open_ = false;
  std::uint64_t channel_ = 0;  // counts opens and closes; a delivery is for one channel
  bool closeReportDue_ = false;
  int opens_ = 0;
  std::optional<PrinterKit::SPPPrinterFailure> openFailure_;
  std::vector<std::shared_ptr<PendingWrite>> pending_;
};

}  // namespace PrinterSimulator
