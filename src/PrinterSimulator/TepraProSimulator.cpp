#include "PrinterSimulator/TepraProSimulator.h"

#include <spng.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

#include "Async/Async.h"
#include "Base/Require.h"
#include "PrinterKit/PrinterStatus.h"
#include "PrinterKit/TepraPro.h"

namespace PrinterSimulator {

namespace {

constexpr std::uint8_t kPrintingStateCode = 0x02;
constexpr std::uint8_t kCoverOpenCode = 0x21;
// The longest pause of the link timer: bytes trickle in at least this often.
constexpr int kLinkTickMs = 20;

std::string hex(std::uint8_t b) {
  char text[5];
  std::snprintf(text, sizeof text, "0x%02X", unsigned{b});
  return text;
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

std::size_t lineCount(const JobParser::Job& job) {
  std::size_t lines = 0;
  for (const auto& label : job.labels) lines += label.lineCount();
  return lines;
}

double millimetres(std::size_t lines) {
  return static_cast<double>(lines) / PrinterKit::TepraPro::dpi * 25.4;
}

struct SpngContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

}  // namespace

TepraProSimulator::TepraProSimulator(Settings settings, QObject* parent)
    : QObject(parent), settings_(settings) {
  clock_.start();
  for (QTimer* timer : {&linkTimer_, &replyTimer_, &printTimer_, &coverTimer_}) {
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
  }
  connect(&linkTimer_, &QTimer::timeout, this, [this] { pump(); });
  connect(&replyTimer_, &QTimer::timeout, this, [this] { sendDueReplies(); });
  connect(&printTimer_, &QTimer::timeout, this, [this] { printed(); });
  connect(&coverTimer_, &QTimer::timeout, this, [this] { coverOpened(); });
}

void TepraProSimulator::receive(std::span<const std::uint8_t> bytes) { receive(bytes, nullptr); }

void TepraProSimulator::receive(std::span<const std::uint8_t> bytes, std::function<void()> passed) {
  if (inbound_.empty()) {
    // An idle link has saved up no time for the bytes to come.
    lastTick_ = clock_.nsecsElapsed();
    credit_ = 0.0;
  }
  inbound_.push_back(Inbound{{bytes.begin(), bytes.end()}, 0, std::move(passed)});
  pump();
}

std::size_t TepraProSimulator::bytesOnLink() const {
  std::size_t n = 0;
  for (const Inbound& in : inbound_) n += in.bytes.size() - in.crossed;
  return n;
}

void TepraProSimulator::pump() {
  // Callbacks below may hand in more bytes; the running loop takes them in order.
  if (pumping_) return;
  pumping_ = true;
  while (!inbound_.empty()) {
    if (dropAfter_ && *dropAfter_ == 0) {
      dropLink();
      continue;
    }
    const double rate = settings_.linkBitsPerSecond;
    std::size_t allowance = SIZE_MAX;
    if (rate > 0) {
      const qint64 now = clock_.nsecsElapsed();
      credit_ += static_cast<double>(now - lastTick_) * rate / 8e9;
      lastTick_ = now;
      allowance = static_cast<std::size_t>(std::floor(std::min(credit_, 1e15)));
    }
    Inbound& front = inbound_.front();
    std::size_t n = std::min(allowance, front.bytes.size() - front.crossed);
    if (dropAfter_) n = std::min(n, *dropAfter_);
    if (n == 0 && front.crossed < front.bytes.size()) {
      scheduleLink();
      break;
    }
    if (rate > 0) credit_ -= static_cast<double>(n);
    const auto from = front.bytes.begin() + static_cast<std::ptrdiff_t>(front.crossed);
    std::vector<std::uint8_t> piece(from, from + static_cast<std::ptrdiff_t>(n));
    front.crossed += n;
    std::function<void()> passed;
    if (front.crossed == front.bytes.size()) {
      passed = std::move(front.passed);
      inbound_.pop_front();
    }
    if (dropAfter_) *dropAfter_ -= n;

    const std::uint64_t epoch = epoch_;
    if (passed) passed();
    if (epoch == epoch_ && !piece.empty()) take(piece);
    if (epoch == epoch_ && dropAfter_ && *dropAfter_ == 0) dropLink();
  }
  pumping_ = false;
}

void TepraProSimulator::scheduleLink() {
  if (linkTimer_.isActive() || inbound_.empty()) return;
  const Inbound& front = inbound_.front();
  const double missing = static_cast<double>(front.bytes.size() - front.crossed) - credit_;
  const double ms = std::ceil(missing * 8000.0 / settings_.linkBitsPerSecond);
  linkTimer_.start(
      std::chrono::milliseconds(static_cast<int>(std::clamp(ms, 1.0, 1.0 * kLinkTickMs))));
}

void TepraProSimulator::dropLink() {
  dropAfter_.reset();
  note("link dropped");
  channelClosed();
  if (onLinkDropped) onLinkDropped();
}

void TepraProSimulator::channelClosed() {
  ++epoch_;
  inbound_.clear();
  linkTimer_.stop();
  credit_ = 0.0;
  outbound_.clear();
  replyTimer_.stop();
  handle(parser_.reset());
}

void TepraProSimulator::take(const std::vector<std::uint8_t>& bytes) {
  handle(parser_.feed(bytes, loadedDots()));
}

void TepraProSimulator::handle(std::vector<JobParser::Event> events) {
  for (JobParser::Event& event : events) {
    if (std::holds_alternative<JobParser::StatusRequest>(event)) {
      reportStatus();
    } else if (auto* job = std::get_if<JobParser::Job>(&event)) {
      accept(std::move(*job));
    } else if (auto* error = std::get_if<JobParser::Error>(&event)) {
      note("error: " + error->text);
      errors_.push_back(std::move(error->text));
    }
  }
}

void TepraProSimulator::accept(JobParser::Job job) {
  const std::size_t lines = lineCount(job);
  const std::string what = std::to_string(job.labels.size()) + " labels, " + std::to_string(lines) +
                           " lines" + format(" (%.1f mm)", millimetres(lines));
  if (settings_.problemCode != 0x00) {
    std::string text =
        "job of " + what + " refused: the printer reports problem " + hex(settings_.problemCode);
    note("error: " + text);
    errors_.push_back(std::move(text));
    return;
  }
  note("job received: " + what);
  jobs_.push_back(std::move(job));
  if (jobs_.size() == 1) startPrinting();
}

void TepraProSimulator::startPrinting() {
  KELM_REQUIRE(settings_.mmPerSecond > 0);
  const double seconds = millimetres(lineCount(jobs_.front())) / settings_.mmPerSecond;
  printTimer_.start(Async::timerInterval(seconds));
  if (coverDuringNextJob_) {
    coverDuringNextJob_ = false;
    coverTimer_.start(Async::timerInterval(seconds / 2));
  }
  note(format("printing for %.2f s", seconds));
}

void TepraProSimulator::printed() {
  coverTimer_.stop();
  JobParser::Job job = std::move(jobs_.front());
  jobs_.pop_front();
  const std::size_t first = printed_.size();
  const std::size_t count = job.labels.size();
  for (auto& label : job.labels) printed_.push_back(std::move(label));
  ++jobsCompleted_;
  note("ready: " + std::to_string(count) + " labels printed");
  if (onJobPrinted) onJobPrinted(first, count);
  if (!jobs_.empty()) {
    startPrinting();
  } else if (settings_.reportsChanges) {
    reportStatus();
  }
}

void TepraProSimulator::coverOpened() {
  printTimer_.stop();
  jobs_.clear();
  settings_.problemCode = kCoverOpenCode;
  note("cover opened while printing: the job is not completed");
  if (settings_.reportsChanges) reportStatus();
}

std::vector<std::uint8_t> TepraProSimulator::statusReply() const {
  std::vector<std::uint8_t> reply(PrinterKit::PrinterStatus::replyLength, 0x00);
  const auto& header = PrinterKit::PrinterStatus::header;
  std::copy(header.begin(), header.end(), reply.begin());
  // What a printer sends in the bytes nobody reads.
  reply[10] = 0x50;
  reply[11] = 0x00;
  reply[12] = 0x3B;
  reply[13] = 0x4E;
  reply[14] = isPrinting() ? kPrintingStateCode : settings_.idleStateCode;
  reply[15] = settings_.problemCode;
  reply[16] = settings_.tapeCode;
  return reply;
}

void TepraProSimulator::reportStatus() {
  if (silent_) return;
  std::vector<std::uint8_t> reply = statusReply();
  if (garbage_) reply[7] = '3';  // "@BDC ST3": a reply no TEPRA PRO sends
  if (settings_.replyDelay <= 0 && outbound_.empty()) {
    if (send) send(std::move(reply));
    return;
  }
  const double delayNs = std::max(settings_.replyDelay, 0.0) * 1e9;
  outbound_.push_back(
      {clock_.nsecsElapsed() + static_cast<qint64>(std::min(delayNs, 1e15)), std::move(reply)});
  if (!replyTimer_.isActive()) sendDueReplies();
}

void TepraProSimulator::sendDueReplies() {
  const qint64 now = clock_.nsecsElapsed();
  // The link back is one queue: a reply never overtakes an earlier one.
  while (!outbound_.empty() && outbound_.front().due <= now) {
    std::vector<std::uint8_t> reply = std::move(outbound_.front().bytes);
    outbound_.pop_front();
    if (send) send(std::move(reply));
  }
  if (outbound_.empty()) return;
  replyTimer_.start(Async::timerInterval(static_cast<double>(outbound_.front().due - now) / 1e9));
}

void TepraProSimulator::setSilent(bool silent) { silent_ = silent; }

void TepraProSimulator::setGarbage(bool garbage) { garbage_ = garbage; }

void TepraProSimulator::openCoverDuringNextJob() { coverDuringNextJob_ = true; }

void TepraProSimulator::dropLinkAfter(std::size_t bytes) { dropAfter_ = bytes; }

void TepraProSimulator::note(const std::string& line) {
  if (log) log(line);
}

int TepraProSimulator::loadedDots() const {
  const auto tape = PrinterKit::TepraPro::tapeByCode.find(settings_.tapeCode);
  if (tape == PrinterKit::TepraPro::tapeByCode.end()) return 0;
  return PrinterKit::TepraPro::dotsByTape.at(tape->second);
}

std::vector<std::uint8_t> TepraProSimulator::labelPng(std::size_t index) const {
  KELM_REQUIRE(index < printed_.size());
  const PrinterKit::RasterLabel& label = printed_[index];
  const std::size_t width = label.lineCount();
  const std::size_t height = static_cast<std::size_t>(label.dots());
  if (width == 0 || height == 0) return {};

  std::vector<std::uint8_t> gray(width * height, 0xFF);
  for (std::size_t x = 0; x < width; ++x) {
    for (int j = 0; j < label.dots(); ++j) {
      if (!label.dot(x, j)) continue;
      const std::size_t y = height - 1 - static_cast<std::size_t>(j);
      gray[y * width + x] = 0x00;
    }
  }

  std::unique_ptr<spng_ctx, SpngContextDeleter> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  KELM_REQUIRE(ctx != nullptr);
  KELM_REQUIRE(spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1) == 0);
  spng_ihdr ihdr{};
  ihdr.width = static_cast<std::uint32_t>(width);
  ihdr.height = static_cast<std::uint32_t>(height);
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_GRAYSCALE;
  KELM_REQUIRE(spng_set_ihdr(ctx.get(), &ihdr) == 0);
  KELM_REQUIRE(spng_encode_image(ctx.get(), gray.data(), gray.size(), SPNG_FMT_PNG,
                                 SPNG_ENCODE_FINALIZE) == 0);
  std::size_t size = 0;
  int error = 0;
  void* png = spng_get_png_buffer(ctx.get(), &size, &error);
  KELM_REQUIRE(png != nullptr && error == 0);
  const auto* bytes = static_cast<const std::uint8_t*>(png);
  std::vector<std::uint8_t> out(bytes, bytes + size);
  std::free(png);
  return out;
}

}  // namespace PrinterSimulator
