#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "Json/Value.h"

namespace PrinterKit {

// The decoded status reply of a TEPRA PRO printer. A plain value: copied, compared field by field.
struct PrinterStatus {
  enum class State { ready, printing, unknown };
  enum class Problem { coverOpen, noCassette, unknown };

  State state;
  std::optional<Problem> problem;  // absent when the printer reports none
  std::optional<int> tapeMm;       // absent when not known, and whenever a problem is reported
  std::uint8_t tapeCode;           // the reply's bytes, as received
  std::uint8_t stateCode;
  std::uint8_t problemCode;

  bool operator==(const PrinterStatus&) const = default;

  // "@BDC ST2\r\n", the first bytes of every reply.
  static constexpr std::array<std::uint8_t, 10> header = {0x40, 0x42, 0x44, 0x43, 0x20,
                                                          0x53, 0x54, 0x32, 0x0D, 0x0A};
  // Length of one reply frame in the received stream.
  static constexpr std::size_t replyLength = 92;

  // Decodes one reply from its first 17 bytes; empty when it has 16 bytes or fewer or does not
  // start with `header`. Bytes past the 17th are not looked at.
  static std::optional<PrinterStatus> fromReply(std::span<const std::uint8_t> reply);

  struct SplitResult {
    std::vector<PrinterStatus> replies;  // in stream order
    std::vector<std::uint8_t> rest;      // to be kept and put in front of the next bytes
  };

  // Cuts a received byte stream into decoded replies. The caller keeps one buffer: it appends each
  // arriving chunk, splits the whole buffer and replaces the buffer with `rest`.
  //
  // Every complete 92-byte frame that starts with `header` yields one status, unless another
  // header starts inside it (a frame cut short by a new one is dropped). Bytes outside frames are
  // dropped. `rest` is a suffix of `bytes`: either the unfinished frame, header included (at most
  // 91 bytes), or the last 9 bytes or fewer, which hold any header that has begun to arrive.
  //
  // A frame is judged as soon as its 92 bytes are there, looking for a new header only among the
  // bytes received so far: a header that starts in the frame's last 9 bytes and is still
  // incomplete does not cut the frame. Feeding the stream in chunks therefore gives the same
  // replies as feeding it whole whenever no two headers in it start 83 to 91 bytes apart.
  static SplitResult split(std::span<const std::uint8_t> bytes);
};

// The texts used in JSON and by the bridge: "ready", "printing", "unknown"; "coverOpen",
// "noCassette", "unknown".
std::string_view text(PrinterStatus::State state);
std::string_view text(PrinterStatus::Problem problem);
// The case with this text; empty for any other text.
std::optional<PrinterStatus::State> stateFromText(std::string_view text);
std::optional<PrinterStatus::Problem> problemFromText(std::string_view text);

// {"problem":..., "problemCode":n, "state":..., "stateCode":n, "tapeCode":n, "tapeMm":n}, with
// "problem" and "tapeMm" left out when absent.
Json::Value toJson(const PrinterStatus& status);
// Empty when a required key is missing, a text is not a case's text, a value has the wrong type,
// a code is outside 0 to 255 or tapeMm does not fit an int. A missing or null "problem" or
// "tapeMm" is absent. Numbers must be whole; 18.0 is read as 18. Other keys are ignored.
std::optional<PrinterStatus> printerStatusFromJson(const Json::Value& json);

// Readable values in test failure messages.
void PrintTo(PrinterStatus::State state, std::ostream* os);
void PrintTo(PrinterStatus::Problem problem, std::ostream* os);
void PrintTo(const PrinterStatus& status, std::ostream* os);

}  // namespace PrinterKit
