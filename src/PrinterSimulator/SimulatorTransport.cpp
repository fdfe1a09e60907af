#include "PrinterSimulator/SimulatorTransport.h"

#include <algorithm>
#include <utility>

#include <QMetaObject>

namespace PrinterSimulator {

using PrinterKit::SPPPrinterFailure;

// Suspends a write until the link has carried its bytes or the channel is lost.
struct SimulatorTransport::Crossing {
  std::shared_ptr<PendingWrite> write;

  bool await_ready() const noexcept { return write->outcome != PendingWrite::Outcome::waiting; }
  void await_suspend(std::coroutine_handle<> waiter) noexcept { write->waiter = waiter; }
  void await_resume() const noexcept {}
};

SimulatorTransport::SimulatorTransport(TepraProSimulator& printer) : printer_(printer) {
  printer_.send = [this](std::vector<std::uint8_t> bytes) {
    if (!open_) return;
    const std::uint64_t channel = channel_;
    auto deliver = [this, channel, bytes = std::move(bytes)]() mutable {
      if (open_ && channel_ == channel && onData) onData(std::move(bytes));
    };
    QMetaObject::invokeMethod(&context_, std::move(deliver), Qt::QueuedConnection);
  };
  printer_.onLinkDropped = [this] {
    if (open_) loseChannel();
  };
}

SimulatorTransport::~SimulatorTransport() {
  // The simulator's queue holds callbacks into this transport.
  if (open_) printer_.channelClosed();
  printer_.send = nullptr;
  printer_.onLinkDropped = nullptr;
}

QCoro::Task<void> SimulatorTransport::open() {
  if (open_) co_return;
  if (openFailure_) throw *openFailure_;
  open_ = true;
  ++channel_;
  ++opens_;
  closeReportDue_ = false;
}

QCoro::Task<void> SimulatorTransport::write(std::vector<std::uint8_t> bytes) {
  if (bytes.empty()) co_return;
  if (!open_) throw SPPPrinterFailure::connectionLost();
  auto pending = std::make_shared<PendingWrite>();
  pending_.push_back(pending);
  auto crossed = [this, weak = std::weak_ptr<PendingWrite>(pending)] {
    if (auto write = weak.lock()) settle(write, PendingWrite::Outcome::crossed);
  };
  printer_.receive(bytes, std::move(crossed));
  // Named: g++ 12 destroys a temporary of a co_await expression twice.
  Crossing crossing{pending};
  co_await crossing;
  if (pending->outcome == PendingWrite::Outcome::lost) throw SPPPrinterFailure::connectionLost();
}

void SimulatorTransport::close() {
  closeReportDue_ = false;
  if (!open_) return;
  open_ = false;
  ++channel_;
  printer_.channelClosed();
  auto pending = std::move(pending_);
  pending_.clear();
  for (const auto& write : pending) settle(write, PendingWrite::Outcome::lost);
}

void SimulatorTransport::failOpenWith(std::optional<SPPPrinterFailure> failure) {
  openFailure_ = std::move(failure);
}

void SimulatorTransport::settle(const std::shared_ptr<PendingWrite>& write,
                                PendingWrite::Outcome outcome) {
  if (write->outcome != PendingWrite::Outcome::waiting) return;
  write->outcome = outcome;
  std::erase(pending_, write);
  // A write that has not suspended yet sees its outcome when it reaches its wait.
  if (!write->waiter) return;
  auto resume = [write] {
    if (auto waiter = std::exchange(write->waiter, {})) waiter.resume();
  };
  QMetaObject::invokeMethod(&context_, std::move(resume), Qt::QueuedConnection);
}

void SimulatorTransport::loseChannel() {
  open_ = false;
  ++channel_;
  closeReportDue_ = true;
  auto pending = std::move(pending_);
  pending_.clear();
  // Posted after the writers' resumptions, so they learn of the loss first.
  for (const auto& write : pending) settle(write, PendingWrite::Outcome::lost);
  auto report = [this] {
    if (!closeReportDue_) return;
    closeReportDue_ = false;
    if (onClosed) onClosed();
  };
  QMetaObject::invokeMethod(&context_, std::move(report), Qt::QueuedConnection);
}

}  // namespace PrinterSimulator
