#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "PrinterKit/RasterLabel.h"

namespace PrinterSimulator {

// The printer's reading of the byte stream from the host: status requests and print jobs (the
// 71-byte setup, pages, the end), each frame checked for its length byte, checksum and closing
// byte. Incremental: bytes may arrive cut anywhere. No Qt.
//
// A job yields one Job event when its end (command 40 and the status request) has arrived whole
// and well formed; a job with any fault yields one Error and nothing else of it. After a fault the
// parser skips to the next status request, which it reports: the host's job end and a new job
// both begin with one, so the printer stays answerable.
class JobParser {
 public:
  // A status request, outside a job or as the first command of a job's setup.
  struct StatusRequest {
    bool operator==(const StatusRequest&) const = default;
  };
  // A complete, well formed job: one label per page, in order. Always followed by the
  // StatusRequest that closes the job.
  struct Job {
    std::vector<PrinterKit::RasterLabel> labels;
    bool operator==(const Job&) const = default;
  };
  struct Error {
    std::string text;
    bool operator==(const Error&) const = default;
  };
  using Event = std::variant<StatusRequest, Job, Error>;

  // The dots across the tape that the printer takes.
  static bool isPrintDots(int dots);

  // Takes the next bytes of the stream; yields what they completed, in stream order.
  // `loadedDots` is the dots across the loaded tape (0 when none): every raster line must carry
  // exactly this many.
  std::vector<Event> feed(std::span<const std::uint8_t> bytes, int loadedDots);

  // The channel has closed: bytes of an unfinished item are dropped and an unfinished job is
  // reported as an Error.
  std::vector<Event> reset();

  // True from the second setup command of a job until its end or a fault.
  bool inJob() const;

 private:
  enum class State { idle, setup, pages, pageSecond, lines, endStatus, discarding };
  enum class Outcome { needMore, progressed };

  Outcome step(std::span<const std::uint8_t> in, int loadedDots, std::vector<Event>& events);
  Outcome fail(std::string text, std::vector<Event>& events);
  Outcome discard(std::span<const std::uint8_t> in, std::vector<Event>& events);
  Outcome rasterLine(std::span<const std::uint8_t> in, int loadedDots, std::vector<Event>& events);

  State state_ = State::idle;
  std::size_t setupItem_ = 0;   // in State::setup: the next item of the setup after the request
  std::size_t linesLeft_ = 0;   // in State::pageSecond and State::lines
  std::size_t linesTotal_ = 0;  // the current page's line count
  std::vector<PrinterKit::RasterLabel> labels_;  // the job's finished pages
  PrinterKit::RasterLabel page_{0};              // the page being received
  std::vector<std::uint8_t> buf_;                // received, not yet consumed
  std::size_t pos_ = 0;                          // consumed bytes at the front of buf_
};

}  // namespace PrinterSimulator
