#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QCoroTask>

#include "PrinterKit/BluetoothTransport.h"
#include "PrinterKit/Once.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/PrinterTransport.h"
#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace PrinterKit {

// One TEPRA PRO printer: owns the byte channel to it, opens the channel when first needed and
// shares the open link among all callers, asks for the printer's status, runs print jobs and
// follows them to their end by polling the status, and closes the link after idleClose seconds
// without use. Every failure is thrown as a Failure.
//
// Lifetime: always owned by a std::shared_ptr (made by create()). An operation in progress keeps
// the printer alive until it ends; the transport's callbacks and the idle timer hold it weakly,
// and a printer that is gone ignores them. A printer that is destroyed closes its open link.
//
// Threads: the main thread only, like its transport. Operations interleave only at their waits
// (opening, writing, waiting for a reply, sleeping): one opening is shared by all callers, every
// caller waiting for a reply is woken by the next one, and isPrinting keeps a second job out.
class SPPPrinter : public std::enable_shared_from_this<SPPPrinter> {
  struct Key {
    explicit Key() = default;
  };

 public:
  using Failure = SPPPrinterFailure;
  using Clock = std::chrono::steady_clock;

  // The time limit of the status query that starts every job, in seconds.
  static constexpr double jobStatusTimeout = 3.0;
  // Polling during a job: a status request after this many seconds without a reply.
  static constexpr double jobPollInterval = 2.0;
  // The idle link is closed after this many seconds.
  static constexpr double defaultIdleClose = 60.0;

  // The printer at `address`, shown as `name` (the address when no name is given), reached over
  // `transport`, or over Bluetooth when it is null. Installs the transport's onData and
  // onClosed; contacts nothing.
  static std::shared_ptr<SPPPrinter> create(std::string address, std::optional<std::string> name,
                                            std::unique_ptr<PrinterTransport> transport);

  // A printer paired over Bluetooth: its name and its address.
  using Paired = BluetoothTransport::Paired;
  // The printers paired with this computer over Bluetooth, in the platform's order.
  static QCoro::Task<std::vector<Paired>> pairedPrinters();
  // For create() only (Key is private): a printer must be owned by a std::shared_ptr.
  SPPPrinter(Key, std::string address, std::optional<std::string> name,
             std::unique_ptr<PrinterTransport> transport);
  ~SPPPrinter();
  SPPPrinter(const SPPPrinter&) = delete;
  SPPPrinter& operator=(const SPPPrinter&) = delete;

  const std::string& address() const { return address_; }
  const std::string& displayName() const { return displayName_; }
  // The most recent status reply received, whoever asked for it; empty before the first.
  const std::optional<PrinterStatus>& lastStatus() const { return lastStatus_; }
  // True while a job of this printer is under way.
  bool isPrinting() const { return isPrinting_; }
  // The transport's channel is open.
  bool isOpen() const { return transport_->isOpen(); }

  // Makes sure the link is open; callers that come while an opening runs share it and its
  // outcome. Throws the transport's failure unchanged.
  QCoro::Task<void> open();
  // Closes the link unless a job is under way: the idle timer stops, waiting callers get no
  // reply, unconsumed received bytes are dropped. A status query it wakes fails without asking
  // again, so nothing reopens the link afterwards.
  void close();

  // The printer's status, giving up on a reply after `timeout` seconds. During a job it answers
  // from lastStatus without contacting the printer when there is one. A query on a link that was
  // open and gets no reply (or loses the link) reopens the link and asks once more, unless close()
  // ended the wait.
  // Throws noReply (nothing came back), notATepraPro (bytes but no valid reply), or the
  // transport's failures.
  // REQUIRES: timeout is finite and >= 0.
  QCoro::Task<PrinterStatus> status(double timeout);

  // Prints the labels as one job on tape `tapeMm` millimetres wide and returns when the printer
  // has reported the job done. Checks the printer first: throws busy (a job is running here or
  // on the printer), unsupportedTape, problem, unknownState or tapeMismatch before sending
  // anything; problem, unconfirmed (no completion seen by the deadline) or connectionLost while
  // it waits; the status query's and the transport's failures otherwise.
  //
  // The job is done at a "ready" reply that follows a "printing" one, or at a "ready" reply given
  // at least readyAfter (a share of the printing time) after the job was sent that answers the
  // job's closing status request or a later one. The printer answers the setup's request before
  // it has the job, and any earlier request before that, so their "ready" says nothing of the
  // job. Replies are matched to requests by count, the printer answering in order: a reply the
  // printer leaves out only makes the match later, never earlier.
  QCoro::Task<void> print(std::vector<RasterLabel> labels, int tapeMm);

  // Receives the progress lines of jobs: "sent %d bytes in %.1fs", "printing at %.1fs",
  // "ready at %.1fs".
  std::function<void(const std::string&)> log;

  // Timing. All in seconds except slowestMmPerSecond; each may be changed at any time and is
  // read when needed.
  double slowestMmPerSecond = 2.0;  // slowest printing speed assumed, label mm per second
  double perLabelSlack = 5.0;       // allowed per label on top of the printing time
  double deadlineSlack = 20.0;      // allowed per job on top of everything else
  double idleClose = defaultIdleClose;
  double statusTimeout = jobStatusTimeout;  // the status query before a job
  double pollInterval = jobPollInterval;    // silence before the next status request in a job

 private:
  // A status reply and its place among the replies: it answers the status request with the same
  // number (counted from 0 over the printer's life), or a later one when replies were left out.
  struct Reply {
    PrinterStatus status;
    std::uint64_t sequence;
  };
  using Waiter = Once<std::optional<Reply>>;
  class Opening;
  struct IdleTimer;

  void received(std::vector<std::uint8_t> bytes);
  void linkClosed();
  void touch();
  QCoro::Task<PrinterStatus> askStatus(double timeout);
  QCoro::Task<PrinterStatus> askOnce(double timeout);
  QCoro::Task<std::optional<Reply>> nextStatus(double timeout);
  QCoro::Task<void> runJob(std::vector<RasterLabel> labels, int tapeMm, int dots);
  void say(const std::string& line) const;
  static QCoro::Task<> idleLoop(std::weak_ptr<SPPPrinter> weak, std::shared_ptr<IdleTimer> timer);

  const std::string address_;
  const std::string displayName_;
  std::optional<PrinterStatus> lastStatus_;
  bool isPrinting_ = false;
  const std::unique_ptr<PrinterTransport> transport_;
  std::vector<std::uint8_t> rx_;
  std::map<std::uint64_t, std::shared_ptr<Waiter>> waiters_;
  std::uint64_t nextWaiter_ = 0;
  // Status requests written (whole jobs included) and replies numbered so far. Replies never
  // outnumber requests: one that comes unasked is numbered as the answer to the next request.
  // When the link goes, the requests it still owed are given up.
  std::uint64_t requestsWritten_ = 0;
  std::uint64_t repliesNumbered_ = 0;
  // The latest reply with its number; kept across link closures, like lastStatus_.
  std::optional<Reply> lastReply_;
  std::uint64_t closes_ = 0;  // calls of close() outside a job
  std::shared_ptr<Opening> opening_;
  Clock::time_point lastUsed_;
  std::shared_ptr<IdleTimer> idleTimer_;
};

}  // namespace PrinterKit
