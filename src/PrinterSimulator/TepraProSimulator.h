#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include "PrinterKit/RasterLabel.h"
#include "PrinterSimulator/JobParser.h"

namespace PrinterSimulator {

// The settings of a simulated printer (TepraProSimulator::Settings).
struct SimulatorSettings {
  std::uint8_t tapeCode = 0x04;       // 18 mm loaded
  std::uint8_t problemCode = 0x00;    // no problem
  std::uint8_t idleStateCode = 0x00;  // "ready" when idle
  double mmPerSecond = 20.0;          // printing speed, label millimetres per second (360 dpi)
  double linkBitsPerSecond = 0.0;     // 0 = unlimited; the link delivers bytes at this rate
  bool reportsChanges = false;        // also sends a status reply by itself on each state change
  // Seconds between composing a status reply and sending it; 0 = at once. A reply describes the
  // printer when the request arrived (or the change happened), replies leave in that order, and
  // one still waiting when the channel goes is lost with it.
  double replyDelay = 0.0;
};

// A TEPRA PRO label printer on the far side of one byte channel, for tests, the application's
// simulated printer and the tepra-simulator tool. It answers status requests with 92-byte
// replies, takes print jobs, prints them at a settable speed (printing, then ready) and keeps
// what it printed. Lives on the thread that runs its event loop (timers for link rate and
// printing time); every member is used there.
class TepraProSimulator : public QObject {
 public:
  using Settings = SimulatorSettings;

  explicit TepraProSimulator(Settings settings = {}, QObject* parent = nullptr);

  // May be changed at any time (e.g. load another tape). The loaded tape's dots are looked up
  // when each raster line arrives; the speed when a job starts printing.
  // REQUIRES: mmPerSecond > 0 whenever a job starts printing.
  Settings& settings() { return settings_; }

  // The printer's side of one channel. Bytes from the host arrive through receive(); they reach
  // the printer at the link rate, in order. The printer's bytes leave through `send` (set by
  // whoever carries them); nothing is sent while it is empty.
  void receive(std::span<const std::uint8_t> bytes);
  // The same; `passed` is called once these bytes have crossed the link (before the printer
  // acts on them), at once when no rate is set. It is never called for bytes lost with the
  // channel.
  void receive(std::span<const std::uint8_t> bytes, std::function<void()> passed);
  std::function<void(std::vector<std::uint8_t>)> send;

  // The host's channel has gone: bytes still on the link are lost and an unfinished job is
  // dropped (recorded in errors()). Jobs already received go on printing.
  void channelClosed();
  // Bytes received and not yet across the link.
  std::size_t bytesOnLink() const;

  // Faults on demand.
  void setSilent(bool silent);    // answers nothing at all; jobs are still printed
  void setGarbage(bool garbage);  // answers with bytes that are not a reply
  void openCoverDuringNextJob();  // the cover opens halfway through printing the next job:
                                  // problem 0x21, the job is not completed
  // Calls onLinkDropped once, right after that many more bytes have crossed the link (with 0:
  // when the next byte arrives, which is lost). The bytes behind them are lost as with
  // channelClosed().
  void dropLinkAfter(std::size_t bytes);
  std::function<void()> onLinkDropped;

  // Progress lines for a log ("job received: ...", "printing ...", "ready ...", "error: ...").
  std::function<void(const std::string&)> log;
  // Called when a job has been printed, with the index of its first label in printedLabels()
  // and its number of labels.
  std::function<void(std::size_t first, std::size_t count)> onJobPrinted;

  // What it printed: one RasterLabel per page of every correctly framed job, in order.
  const std::vector<PrinterKit::RasterLabel>& printedLabels() const { return printed_; }
  // The label as a PNG image the way the web page would send it: width = number of lines,
  // height = dots, dot 0 of each line at the BOTTOM row, ink black on white (8-bit gray).
  // Empty for a label without lines or dots, which no image can show.
  // REQUIRES: index < printedLabels().size().
  std::vector<std::uint8_t> labelPng(std::size_t index) const;
  // Malformed input, one text per problem found (bad frame, bad checksum, wrong dots field,
  // page end missing, job cut off, ...), and jobs refused because a problem is reported. Such a
  // job is never printed.
  const std::vector<std::string>& errors() const { return errors_; }
  bool isPrinting() const { return !jobs_.empty(); }
  int jobsCompleted() const { return jobsCompleted_; }

  // The 92-byte status reply for the current state.
  std::vector<std::uint8_t> statusReply() const;

 private:
  struct Inbound {
    std::vector<std::uint8_t> bytes;
    std::size_t crossed = 0;
    std::function<void()> passed;
  };
  // A reply that describes the printer when it was composed and leaves at `due`.
  struct Outbound {
    qint64 due;  // nanoseconds on clock_
    std::vector<std::uint8_t> bytes;
  };

  void pump();
  void scheduleLink();
  void dropLink();
  void take(const std::vector<std::uint8_t>& bytes);
  void handle(std::vector<JobParser::Event> events);
  void accept(JobParser::Job job);
  void startPrinting();
  void printed();
  void coverOpened();
  void reportStatus();
  void sendDueReplies();
  void note(const std::string& line);
  int loadedDots() const;

  Settings settings_;
  JobParser parser_;

  std::deque<Inbound> inbound_;
  QElapsedTimer clock_;
  qint64 lastTick_ = 0;  // nanoseconds on clock_ when the link credit was last brought up to date
  double credit_ = 0.0;  // bytes the link may still deliver
  QTimer linkTimer_;
  bool pumping_ = false;
  std::uint64_t epoch_ = 0;  // counts channel losses; bytes of an earlier channel are not taken
  std::optional<std::size_t> dropAfter_;

  bool silent_ = false;
  bool garbage_ = false;
  bool coverDuringNextJob_ = false;

  std::deque<Outbound> outbound_;  // in the order they were composed
  QTimer replyTimer_;

  std::deque<JobParser::Job> jobs_;  // the front one is printing
  QTimer printTimer_;
  QTimer coverTimer_;

  std::vector<PrinterKit::RasterLabel> printed_;
  std::vector<std::string> errors_;
  int jobsCompleted_ = 0;
};

}  // namespace PrinterSimulator
