#include "PrinterKit/SPPPrinter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <utility>

#include <QTimer>
#include <QtGlobal>

#include "Base/Require.h"
#include "PrinterKit/TepraPro.h"

namespace PrinterKit {

namespace {

double secondsBetween(SPPPrinter::Clock::time_point from, SPPPrinter::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

template <class... Args>
std::string format(const char* pattern, Args... args) {
  char line[96];
  std::snprintf(line, sizeof line, pattern, args...);
  return line;
}

// The longest single sleep of the idle timer, in seconds.
constexpr double idleSleepLimit = 30.0;

// TepraPro::job asks for the status twice: first in its setup, last in its end.
constexpr std::uint64_t statusRequestsPerJob = 2;

}  // namespace

// One opening of the link, awaited by every caller of open() that comes while it runs. The
// caller that started it finishes it with the outcome; the others then continue (through the
// event loop) and return or fail as it did.
class SPPPrinter::Opening {
 public:
  void finish(std::exception_ptr error) {
    finished_ = true;
    error_ = std::move(error);
    for (const std::coroutine_handle<> c : waiting_) detail::resumeLater(c);
    waiting_.clear();
  }

  struct Awaiter {
    std::shared_ptr<Opening> opening;
    bool await_ready() const noexcept { return opening->finished_; }
    void await_suspend(std::coroutine_handle<> c) { opening->waiting_.push_back(c); }
    void await_resume() const {
      if (opening->error_) std::rethrow_exception(opening->error_);
    }
  };

 private:
  bool finished_ = false;
  std::exception_ptr error_;
  std::vector<std::coroutine_handle<>> waiting_;
};

// The handle of one run of the idle timer. cancel() ends the run: its current sleep is cut short
// and the run stops without closing anything.
struct SPPPrinter::IdleTimer {
  bool cancelled = false;
  std::shared_ptr<Once<bool>> sleep;

  void cancel() {
    cancelled = true;
    if (sleep) sleep->resume(true);
  }
};

std::shared_ptr<SPPPrinter> SPPPrinter::create(std::string address, std::optional<std::string> name,
                                               std::unique_ptr<PrinterTransport> transport) {
  if (!transport) transport = std::make_unique<BluetoothTransport>(address);
  auto printer = std::make_shared<SPPPrinter>(Key(), std::move(address), std::move(name),
                                              std::move(transport));
  const std::weak_ptr<SPPPrinter> weak = printer;
  printer->transport_->onData = [weak](std::vector<std::uint8_t> bytes) {
    if (const std::shared_ptr<SPPPrinter> p = weak.lock()) p->received(std::move(bytes));
  };
  printer->transport_->onClosed = [weak] {
    if (const std::shared_ptr<SPPPrinter> p = weak.lock()) p->linkClosed();
  };
  return printer;
}

SPPPrinter::SPPPrinter(Key, std::string address, std::optional<std::string> name,
                       std::unique_ptr<PrinterTransport> transport)
    : address_(std::move(address)),
      displayName_(name ? std::move(*name) : address_),
      transport_(std::move(transport)),
      lastUsed_(Clock::now()) {
  KELM_REQUIRE(transport_ != nullptr);
}

SPPPrinter::~SPPPrinter() {
  // Ends the idle timer's sleep now rather than when it would wake and find the printer gone.
  if (idleTimer_) idleTimer_->cancel();
  // No operation is under way (each keeps the printer alive), so nobody else uses the link.
  if (transport_->isOpen()) transport_->close();
}

QCoro::Task<std::vector<SPPPrinter::Paired>> SPPPrinter::pairedPrinters() {
  std::vector<Paired> paired = co_await BluetoothTransport::pairedPrinters();
  co_return paired;
}

void SPPPrinter::received(std::vector<std::uint8_t> bytes) {
  rx_.insert(rx_.end(), bytes.begin(), bytes.end());
  PrinterStatus::SplitResult split = PrinterStatus::split(rx_);
  rx_ = std::move(split.rest);
  for (const PrinterStatus& status : split.replies) {
    lastStatus_ = status;
    const Reply reply{status, repliesNumbered_};
    lastReply_ = reply;
    if (repliesNumbered_ < requestsWritten_) ++repliesNumbered_;
    const auto woken = std::exchange(waiters_, {});
    for (const auto& [ticket, once] : woken) once->resume(reply);
  }
}

void SPPPrinter::linkClosed() {
  rx_.clear();
  repliesNumbered_ = requestsWritten_;
  const auto woken = std::exchange(waiters_, {});
  for (const auto& [ticket, once] : woken) once->resume(std::nullopt);
}

void SPPPrinter::touch() {
  lastUsed_ = Clock::now();
  if (idleTimer_) return;
  idleTimer_ = std::make_shared<IdleTimer>();
  // Started from the event loop so that the caller always finishes first.
  QTimer::singleShot(0, [weak = weak_from_this(), timer = idleTimer_] { idleLoop(weak, timer); });
}

QCoro::Task<> SPPPrinter::idleLoop(std::weak_ptr<SPPPrinter> weak,
                                   std::shared_ptr<IdleTimer> timer) {
  // Nobody awaits this task: nothing may escape it.
  try {
    for (;;) {
      double remaining = 0;
      {
        const std::shared_ptr<SPPPrinter> printer = weak.lock();
        if (!printer || timer->cancelled) co_return;
        remaining = printer->idleClose - secondsBetween(printer->lastUsed_, Clock::now());
        if (remaining <= 0) {
          printer->idleTimer_.reset();
          // A job or an opening under way ends this run without closing; the next touch()
          // starts a new one.
          if (!printer->isPrinting_ && !printer->opening_) {
            printer->transport_->close();
            printer->linkClosed();
          }
          co_return;
        }
      }
      auto keep = [timer](const std::shared_ptr<Once<bool>>& once) { timer->sleep = once; };
      co_await Once<bool>::wait(std::min(remaining, idleSleepLimit), false, std::move(keep));
      timer->sleep.reset();
    }
  } catch (const std::exception& e) {
    qWarning("[printer] idle timer failed: %s", e.what());
  }
}

QCoro::Task<void> SPPPrinter::open() {
  const std::shared_ptr<SPPPrinter> self = shared_from_this();
  touch();
  if (transport_->isOpen()) co_return;
  if (opening_) {
    Opening::Awaiter shared{opening_};
    co_await shared;
    co_return;
  }
  const auto opening = std::make_shared<Opening>();
  opening_ = opening;
  std::exception_ptr error;
  try {
    rx_.clear();
    repliesNumbered_ = requestsWritten_;
    co_await transport_->open();
  } catch (...) {
    error = std::current_exception();
  }
  opening_.reset();
  opening->finish(error);
  if (error) std::rethrow_exception(error);
}

void SPPPrinter::close() {
  if (isPrinting_) return;
  ++closes_;
  if (idleTimer_) std::exchange(idleTimer_, nullptr)->cancel();
  transport_->close();
  linkClosed();
}

QCoro::Task<std::optional<SPPPrinter::Reply>> SPPPrinter::nextStatus(double timeout) {
  const std::uint64_t ticket = nextWaiter_++;
  auto enlist = [this, ticket](const std::shared_ptr<Waiter>& once) { waiters_[ticket] = once; };
  std::optional<Reply> reply = co_await Waiter::wait(timeout, std::nullopt, std::move(enlist));
  waiters_.erase(ticket);
  co_return reply;
}

QCoro::Task<PrinterStatus> SPPPrinter::askOnce(double timeout) {
  co_await open();
  // Counted before the write: the reply may arrive before the write returns (a write is done
  // only once its bytes have left, and a quick printer answers meanwhile); it then answers this
  // query at once.
  const std::uint64_t request = requestsWritten_++;
  co_await transport_->write(TepraPro::statusRequest);
  std::optional<Reply> reply;
  if (lastReply_ && lastReply_->sequence >= request) {
    reply = lastReply_;
  } else {
    reply = co_await nextStatus(timeout);
  }
  if (!reply) throw rx_.empty() ? Failure::noReply() : Failure::notATepraPro();
  touch();
  co_return reply->status;
}

QCoro::Task<PrinterStatus> SPPPrinter::askStatus(double timeout) {
  const bool wasOpen = transport_->isOpen();
  const std::uint64_t closesBefore = closes_;
  try {
    co_return co_await askOnce(timeout);
  } catch (const Failure& failure) {
    const bool silent = failure.as<Failure::NoReply>() || failure.as<Failure::ConnectionLost>();
    // A wait ended by close() is not a stale link: asking again would reopen what was closed.
    if (!wasOpen || !silent || closes_ != closesBefore) throw;
  }
  // The link that looked open is taken to be stale: one more query on a fresh link.
  transport_->close();
  linkClosed();
  co_return co_await askOnce(timeout);
}

QCoro::Task<PrinterStatus> SPPPrinter::status(double timeout) {
  KELM_REQUIRE(std::isfinite(timeout) && timeout >= 0);
  const std::shared_ptr<SPPPrinter> self = shared_from_this();
  if (isPrinting_ && lastStatus_) {
    // A copy: QCoro moves from an lvalue that is co_returned.
    const PrinterStatus last = *lastStatus_;
    co_return last;
  }
  co_return co_await askStatus(timeout);
}

QCoro::Task<void> SPPPrinter::print(std::vector<RasterLabel> labels, int tapeMm) {
  const std::shared_ptr<SPPPrinter> self = shared_from_this();
  if (isPrinting_) throw Failure::busy(lastStatus_);
  const auto tape = TepraPro::dotsByTape.find(tapeMm);
  if (tape == TepraPro::dotsByTape.end()) throw Failure::unsupportedTape(tapeMm);
  isPrinting_ = true;
  std::exception_ptr error;
  try {
    co_await runJob(std::move(labels), tapeMm, tape->second);
  } catch (...) {
    error = std::current_exception();
  }
  isPrinting_ = false;
  touch();
  if (error) std::rethrow_exception(error);
}

QCoro::Task<void> SPPPrinter::runJob(std::vector<RasterLabel> labels, int tapeMm, int dots) {
  const PrinterStatus st = co_await askStatus(statusTimeout);
  if (st.problem) throw Failure::problem(*st.problem);
  if (st.state == PrinterStatus::State::unknown) throw Failure::unknownState(st.stateCode);
  if (st.state == PrinterStatus::State::printing) throw Failure::busy(st);
  if (st.tapeMm != tapeMm) throw Failure::tapeMismatch(st.tapeMm, tapeMm);

  std::vector<std::uint8_t> job = TepraPro::job(labels, dots);
  const std::size_t jobBytes = job.size();
  const Clock::time_point start = Clock::now();
  // The number of the job's closing status request; a "ready" numbered below it was composed
  // before the printer had the whole job.
  const std::uint64_t closing = requestsWritten_ + statusRequestsPerJob - 1;
  requestsWritten_ += statusRequestsPerJob;
  co_await transport_->write(std::move(job));
  const Clock::time_point sent = Clock::now();
  say(format("sent %zu bytes in %.1fs", jobBytes, secondsBetween(start, sent)));

  std::size_t lines = 0;
  for (const RasterLabel& label : labels) lines += label.lineCount();
  const double mm = static_cast<double>(lines) / TepraPro::dpi * 25.4;
  const double limit =
      deadlineSlack + perLabelSlack * static_cast<double>(labels.size()) + mm / slowestMmPerSecond;
  const double readyAfter = std::min(mm / 40.0, 3.0);
  bool sawPrinting = false;
  // The number of the first reply not yet looked at: replies that come while nobody waits (during
  // a write, which ends only once its bytes have left) are looked at too, the latest of them.
  std::uint64_t unseen = closing + 1 - statusRequestsPerJob;

  // The job ends with a status request: the first wait sends nothing.
  for (;;) {
    const double elapsed = secondsBetween(sent, Clock::now());
    if (elapsed >= limit) {
      throw transport_->isOpen() ? Failure::unconfirmed() : Failure::connectionLost();
    }
    if (!transport_->isOpen()) throw Failure::connectionLost();
    std::optional<Reply> reply;
    if (lastReply_ && lastReply_->sequence >= unseen) {
      reply = lastReply_;
    } else {
      reply = co_await nextStatus(pollInterval);
    }
    if (reply) unseen = std::max(unseen, reply->sequence + 1);
    if (!reply) {
      try {
        ++requestsWritten_;
        co_await transport_->write(TepraPro::statusRequest);
      } catch (const Failure&) {
        // A lost link shows at the top of the loop.
      }
      continue;
    }
    const PrinterStatus& s = reply->status;
    if (s.problem) throw Failure::problem(*s.problem);
    if (s.state == PrinterStatus::State::printing) {
      if (!sawPrinting) say(format("printing at %.1fs", secondsBetween(start, Clock::now())));
      sawPrinting = true;
      continue;
    }
    const bool answersTheJob = reply->sequence >= closing;
    if (s.state == PrinterStatus::State::ready &&
        (sawPrinting || (answersTheJob && secondsBetween(sent, Clock::now()) >= readyAfter))) {
      say(format("ready at %.1fs", secondsBetween(start, Clock::now())));
      co_return;
    }
  }
}

void SPPPrinter::say(const std::string& line) const {
  if (log) log(line);
}

}  // namespace PrinterKit
