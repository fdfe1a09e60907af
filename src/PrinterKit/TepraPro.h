#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <map>
#include <span>
#include <utility>
#include <vector>

#include "Base/Require.h"
#include "PrinterKit/RasterLabel.h"

namespace PrinterKit {

// The bytes a TEPRA PRO label printer takes on its serial channel: command frames, the status
// request, the raster encoding of labels (pages) and whole print jobs, and the tables that tie tape
// widths to print dots. Constants and pure functions only.
struct TepraPro {
  TepraPro() = delete;

  // Print resolution in dots per inch.
  static constexpr double dpi = 360.0;
  // Most labels in one print request.
  static constexpr int maxLabels = 50;
  // Most raster lines in one label (200 mm at 360 dots per inch).
  static constexpr int maxLabelLines = 2835;

  // Tape width in millimetres to dots across the tape: 9->108, 12->144, 18->216, 24->256. No other
  // width can be printed.
  // Defined inline so that globals of other files that read it are initialised after it.
  static inline const std::map<int, int> dotsByTape = {{9, 108}, {12, 144}, {18, 216}, {24, 256}};
  // Tape code of the status reply to tape width in millimetres: 2->9, 3->12, 4->18, 5->24.
  static inline const std::map<std::uint8_t, int> tapeByCode = {{2, 9}, {3, 12}, {4, 18}, {5, 24}};
  // 1B 7B 05 49 00 00 49 7D.
  static inline const std::vector<std::uint8_t> statusRequest = {0x1B, 0x7B, 0x05, 0x49,
                                                                 0x00, 0x00, 0x49, 0x7D};

  // The framed command: 1B 7B, n + 2, the n payload bytes, their sum modulo 256, 7D.
  // REQUIRES: payload.size() <= 253.
  static std::vector<std::uint8_t> command(std::span<const std::uint8_t> payload);
  // The same with the payload given as separate bytes. REQUIRES: each is in 0..255.
  template <class... Bytes>
  requires(std::integral<Bytes>&&...) static std::vector<std::uint8_t> command(Bytes... bytes) {
    KELM_REQUIRE((std::in_range<std::uint8_t>(bytes) && ...));
    const std::array<std::uint8_t, sizeof...(Bytes)> payload = {
        static_cast<std::uint8_t>(bytes)...};
    return command(std::span<const std::uint8_t>(payload));
  }

  // One label as a page: the length command, the second page command, one raster line per line of
  // the label (1B 2E 00 00 00 01, dots as 16-bit little-endian, (dots + 7) / 8 bytes of dots) and
  // the page end 0C; 18 + L * (8 + (dots + 7) / 8) + 1 bytes for L lines. A label whose dots()
  // differs from `dots` is cut to `dots` or padded with blank dots.
  // REQUIRES: label.lineCount() < 65536, 0 <= dots <= 65535.
  static std::vector<std::uint8_t> page(const RasterLabel& label, int dots);
  // The same for lines of Booleans (true = ink): entries beyond `dots` are ignored, missing dots
  // are blank. Gives the same bytes as the packed form.
  static std::vector<std::uint8_t> page(const std::vector<std::vector<bool>>& lines, int dots);

  // A whole job: the setup, one page per label in order, the end. No labels give setup and end.
  // REQUIRES: as for page, for each label.
  static std::vector<std::uint8_t> job(std::span<const RasterLabel> labels, int dots);
  static std::vector<std::uint8_t> job(const std::vector<std::vector<std::vector<bool>>>& labels,
                                       int dots);

  // Appends the page to `out` instead of returning it, for callers that build one buffer.
  static void appendPage(std::vector<std::uint8_t>& out, const RasterLabel& label, int dots);

 private:
  // The prologue of every job: nine commands with two raw zero bytes after the second (71 bytes).
  static const std::vector<std::uint8_t> setup;
  // The epilogue of every job: the command 40, then the status request (14 bytes).
  static const std::vector<std::uint8_t> end;
};

}  // namespace PrinterKit
