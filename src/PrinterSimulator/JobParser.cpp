#include "PrinterSimulator/JobParser.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "PrinterKit/TepraPro.h"

namespace PrinterSimulator {

namespace {

using Bytes = std::vector<std::uint8_t>;

// The setup after its first command (the status request): the framed payloads in order, with the
// two raw zero bytes as the empty entry.
const std::array<Bytes, 9> kSetupItems = {{
    {0x21},
    {},
    {0x49, 0x05, 0x00},
    {0x40},
    {0x7B, 0x00, 0x00, 0x53, 0x54},
    {0x43, 0x01, 0x01, 0x01, 0x01},
    {0x44, 0x05},
    {0x47},
    {0x49, 0x05, 0x00},
}};
constexpr std::size_t kRawItem = 1;

const Bytes kStatusPayload = {0x49, 0x00, 0x00};
const Bytes kSecondPageCommand = {0x54, 0x00, 0x00};
const Bytes kEndCommand = {0x40};
constexpr std::array<std::uint8_t, 6> kLinePrefix = {0x1B, 0x2E, 0x00, 0x00, 0x00, 0x01};

std::string hex(std::uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", unsigned{b});
  return text;
}

std::string describe(std::span<const std::uint8_t> payload) {
  if (payload.empty()) return "(empty)";
  std::string out;
  for (std::uint8_t b : payload) {
    if (!out.empty()) out += ' ';
    out += hex(b);
  }
  return out;
}

bool equal(std::span<const std::uint8_t> a, const Bytes& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// One framed command at the start of `in`.
struct Frame {
  enum class Status { needMore, bad, ok };
  Status status = Status::needMore;
  std::size_t size = 0;                   // when ok
  std::span<const std::uint8_t> payload;  // when ok
  std::string problem;                    // when bad
};

Frame readFrame(std::span<const std::uint8_t> in) {
  Frame f;
  if (in.empty()) return f;
  if (in[0] != 0x1B) {
    f.status = Frame::Status::bad;
    f.problem = "expected a command (1B 7B), got byte " + hex(in[0]);
    return f;
  }
  if (in.size() < 2) return f;
  if (in[1] != 0x7B) {
    f.status = Frame::Status::bad;
    f.problem = "expected a command (1B 7B), got 1B " + hex(in[1]);
    return f;
  }
  if (in.size() < 3) return f;
  const std::size_t length = in[2];
  if (length < 2) {
    f.status = Frame::Status::bad;
    f.problem = "command length byte " + hex(in[2]) + " is below 2";
    return f;
  }
  const std::size_t total = length + 3;
  if (in.size() < total) return f;
  const std::span<const std::uint8_t> payload = in.subspan(3, length - 2);
  const std::string name = payload.empty() ? "(empty)" : hex(payload[0]);
  if (in[total - 1] != 0x7D) {
    f.status = Frame::Status::bad;
    f.problem =
        "command " + name + ": no closing 7D where its length byte " + hex(in[2]) + " puts it";
    return f;
  }
  unsigned sum = 0;
  for (std::uint8_t b : payload) sum += b;
  if (static_cast<std::uint8_t>(sum) != in[total - 2]) {
    f.status = Frame::Status::bad;
    f.problem = "command " + name + ": checksum " + hex(in[total - 2]) + ", its payload sums to " +
                hex(static_cast<std::uint8_t>(sum));
    return f;
  }
  f.status = Frame::Status::ok;
  f.size = total;
  f.payload = payload;
  return f;
}

}  // namespace

bool JobParser::isPrintDots(int dots) {
  for (const auto& [mm, d] : PrinterKit::TepraPro::dotsByTape) {
    if (d == dots) return true;
  }
  return false;
}

std::vector<JobParser::Event> JobParser::feed(std::span<const std::uint8_t> bytes, int loadedDots) {
  std::vector<Event> events;
  buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  while (pos_ < buf_.size()) {
    const auto in = std::span<const std::uint8_t>(buf_).subspan(pos_);
    if (step(in, loadedDots, events) == Outcome::needMore) break;
  }
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
  pos_ = 0;
  return events;
}

std::vector<JobParser::Event> JobParser::reset() {
  std::vector<Event> events;
  if (inJob()) events.push_back(Error{"job cut off: the channel closed before its end"});
  state_ = State::idle;
  labels_.clear();
  page_ = PrinterKit::RasterLabel(0);
  buf_.clear();
  pos_ = 0;
  return events;
}

bool JobParser::inJob() const {
  switch (state_) {
    case State::setup:
      return setupItem_ > 0;
    case State::pages:
    case State::pageSecond:
    case State::lines:
    case State::endStatus:
      return true;
    case State::idle:
    case State::discarding:
      return false;
  }
  return false;
}

JobParser::Outcome JobParser::fail(std::string text, std::vector<Event>& events) {
  events.push_back(Error{std::move(text)});
  labels_.clear();
  page_ = PrinterKit::RasterLabel(0);
  state_ = State::discarding;
  return Outcome::progressed;
}

JobParser::Outcome JobParser::step(std::span<const std::uint8_t> in, int loadedDots,
                                   std::vector<Event>& events) {
  const auto pageName = [this] { return "page " + std::to_string(labels_.size() + 1); };
  switch (state_) {
    case State::idle: {
      const Frame f = readFrame(in);
      if (f.status == Frame::Status::needMore) return Outcome::needMore;
      if (f.status == Frame::Status::bad) return fail(f.problem, events);
      if (!equal(f.payload, kStatusPayload)) {
        return fail("command " + describe(f.payload) + " outside a job", events);
      }
      pos_ += f.size;
      events.push_back(StatusRequest{});
      state_ = State::setup;
      setupItem_ = 0;
      return Outcome::progressed;
    }

    case State::setup: {
      if (setupItem_ == kRawItem) {
        if (in.size() < 2) return Outcome::needMore;
        if (in[0] != 0x00 || in[1] != 0x00) {
          return fail("setup: two zero bytes expected after command 21", events);
        }
        pos_ += 2;
        ++setupItem_;
        return Outcome::progressed;
      }
      const Frame f = readFrame(in);
      if (f.status == Frame::Status::needMore) return Outcome::needMore;
      const bool matches =
          f.status == Frame::Status::ok && equal(f.payload, kSetupItems[setupItem_]);
      if (!matches && setupItem_ == 0) {
        // The status request stood alone; what follows is read afresh.
        state_ = State::idle;
        return Outcome::progressed;
      }
      if (f.status == Frame::Status::bad) return fail("setup: " + f.problem, events);
      if (!matches) {
        return fail("setup: command " + std::to_string(setupItem_ + 2) + " is " +
                        describe(f.payload) + ", expected " + describe(kSetupItems[setupItem_]),
                    events);
      }
      pos_ += f.size;
      if (++setupItem_ == kSetupItems.size()) {
        state_ = State::pages;
        labels_.clear();
      }
      return Outcome::progressed;
    }

    case State::pages: {
      const Frame f = readFrame(in);
      if (f.status == Frame::Status::needMore) return Outcome::needMore;
      if (f.status == Frame::Status::bad) return fail(pageName() + ": " + f.problem, events);
      const auto p = f.payload;
      if (p.size() == 5 && p[0] == 0x4C && p[3] == 0x00 && p[4] == 0x00) {
        pos_ += f.size;
        linesTotal_ = static_cast<std::size_t>(p[1]) | static_cast<std::size_t>(p[2]) << 8;
        linesLeft_ = linesTotal_;
        page_ = PrinterKit::RasterLabel(std::clamp(loadedDots, 0, 65535));
        page_.reserveLines(linesTotal_);
        state_ = State::pageSecond;
        return Outcome::progressed;
      }
      if (equal(p, kEndCommand)) {
        pos_ += f.size;
        state_ = State::endStatus;
        return Outcome::progressed;
      }
      return fail(pageName() +
                      ": expected a length command (4C) or the job end (40), got command " +
                      describe(p),
                  events);
    }

    case State::pageSecond: {
      const Frame f = readFrame(in);
      if (f.status == Frame::Status::needMore) return Outcome::needMore;
      if (f.status == Frame::Status::bad) return fail(pageName() + ": " + f.problem, events);
      if (!equal(f.payload, kSecondPageCommand)) {
        return fail(pageName() + ": expected command 54 00 00 after the length command, got " +
                        describe(f.payload),
                    events);
      }
      pos_ += f.size;
      state_ = State::lines;
      return Outcome::progressed;
    }

    case State::lines:
      if (linesLeft_ > 0) return rasterLine(in, loadedDots, events);
      if (in[0] != 0x0C) {
        return fail(pageName() + ": page end 0C missing after its " + std::to_string(linesTotal_) +
                        " raster lines",
                    events);
      }
      pos_ += 1;
      labels_.push_back(std::move(page_));
      page_ = PrinterKit::RasterLabel(0);
      state_ = State::pages;
      return Outcome::progressed;

    case State::endStatus: {
      const Frame f = readFrame(in);
      if (f.status == Frame::Status::needMore) return Outcome::needMore;
      if (f.status == Frame::Status::bad) return fail("job end: " + f.problem, events);
      if (!equal(f.payload, kStatusPayload)) {
        return fail("job end: expected the status request after command 40, got command " +
                        describe(f.payload),
                    events);
      }
      pos_ += f.size;
      events.push_back(Job{std::move(labels_)});
      events.push_back(StatusRequest{});
      labels_.clear();
      state_ = State::setup;
      setupItem_ = 0;
      return Outcome::progressed;
    }

    case State::discarding:
      return discard(in, events);
  }
  return Outcome::needMore;
}

JobParser::Outcome JobParser::rasterLine(std::span<const std::uint8_t> in, int loadedDots,
                                         std::vector<Event>& events) {
  const auto where = [this] {
    return "page " + std::to_string(labels_.size() + 1) + ", line " +
           std::to_string(linesTotal_ - linesLeft_ + 1);
  };
  if (in[0] == 0x0C) {
    return fail("page " + std::to_string(labels_.size() + 1) + ": page end after " +
                    std::to_string(linesTotal_ - linesLeft_) + " of " +
                    std::to_string(linesTotal_) + " raster lines",
                events);
  }
  if (in.size() < 8) return Outcome::needMore;
  if (!std::equal(kLinePrefix.begin(), kLinePrefix.end(), in.begin())) {
    return fail(where() + ": expected a raster line (1B 2E 00 00 00 01)", events);
  }
  const int dots = in[6] | in[7] << 8;
  if (!isPrintDots(dots)) {
    return fail(
        where() + ": " + std::to_string(dots) + " dots is not a print width (108, 144, 216 or 256)",
        events);
  }
  if (dots != loadedDots) {
    return fail(where() + ": " + std::to_string(dots) + " dots, but the loaded tape prints " +
                    std::to_string(loadedDots),
                events);
  }
  const std::size_t width = (static_cast<std::size_t>(dots) + 7) / 8;
  if (in.size() < 8 + width) return Outcome::needMore;
  std::span<std::uint8_t> out = page_.appendBlankLines(1);
  std::copy_n(in.begin() + 8, width, out.begin());
  // The bits past the last dot carry nothing; the printer ignores them.
  if (dots % 8 != 0) out[width - 1] &= static_cast<std::uint8_t>(0xFF00u >> (dots % 8));
  pos_ += 8 + width;
  --linesLeft_;
  return Outcome::progressed;
}

JobParser::Outcome JobParser::discard(std::span<const std::uint8_t> in,
                                      std::vector<Event>& events) {
  const auto start = std::find(in.begin(), in.end(), std::uint8_t{0x1B});
  if (start != in.begin()) {
    pos_ += static_cast<std::size_t>(start - in.begin());
    return start == in.end() ? Outcome::needMore : Outcome::progressed;
  }
  const Frame f = readFrame(in);
  switch (f.status) {
    case Frame::Status::needMore:
      return Outcome::needMore;
    case Frame::Status::bad:
      pos_ += 1;
      return Outcome::progressed;
    case Frame::Status::ok:
      pos_ += f.size;
      if (equal(f.payload, kStatusPayload)) {
        events.push_back(StatusRequest{});
        state_ = State::setup;
        setupItem_ = 0;
      }
      return Outcome::progressed;
  }
  return Outcome::needMore;
}

}  // namespace PrinterSimulator
