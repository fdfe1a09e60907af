// Splits a byte stream into status replies whole, and again fed in chunks the way the print engine
// feeds it (append the chunk, split the buffer, keep the rest). The first input byte chooses the
// chunk sizes; the other bytes are the stream.
//
// Checked for every input and every feeding:
// - each reply is the decoding of a 92-byte frame that starts with the header in the stream, the
//   frames in stream order and not overlapping;
// - the rest is a suffix of what was split, and is either at most 9 bytes or an unfinished frame
//   that starts with the header (at most 91 bytes).
// Checked when no two headers in the stream start 83 to 91 bytes apart (otherwise a frame judged
// complete before the next header has arrived whole may legitimately differ):
// - chunked feeding gives the same replies and the same final rest as splitting the stream whole.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "FuzzCheck.h"
#include "PrinterKit/PrinterStatus.h"

namespace {

using PrinterKit::PrinterStatus;
using Bytes = std::span<const std::uint8_t>;

std::vector<std::size_t> headerPositions(Bytes stream) {
  std::vector<std::size_t> positions;
  const auto& h = PrinterStatus::header;
  for (auto it = stream.begin();;) {
    it = std::search(it, stream.end(), h.begin(), h.end());
    if (it == stream.end()) return positions;
    positions.push_back(static_cast<std::size_t>(it - stream.begin()));
    ++it;
  }
}

// Whether the replies can be matched, in order, to non-overlapping frames of the stream that start
// at header positions. Matching each reply to the earliest frame that fits is enough: an earlier
// frame end never rules out a later match.
bool fromFramesInOrder(const std::vector<PrinterStatus>& replies, Bytes stream,
                       const std::vector<std::size_t>& positions) {
  std::size_t next = 0;
  auto p = positions.begin();
  for (const PrinterStatus& reply : replies) {
    for (;; ++p) {
      if (p == positions.end()) return false;
      if (*p < next || *p + PrinterStatus::replyLength > stream.size()) continue;
      if (PrinterStatus::fromReply(stream.subspan(*p, PrinterStatus::replyLength)) == reply) break;
    }
    next = *p + PrinterStatus::replyLength;
    ++p;
  }
  return true;
}

void checkRest(const std::vector<std::uint8_t>& rest, Bytes split) {
  CHECK(rest.size() <= split.size());
  CHECK(
      std::equal(rest.begin(), rest.end(), split.end() - static_cast<std::ptrdiff_t>(rest.size())));
  const auto& h = PrinterStatus::header;
  const bool unfinishedFrame = rest.size() >= h.size() &&
                               rest.size() < PrinterStatus::replyLength &&
                               std::equal(h.begin(), h.end(), rest.begin());
  CHECK(rest.size() < h.size() || unfinishedFrame);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Bytes stream(data + 1, size - 1);
  const std::vector<std::size_t> positions = headerPositions(stream);

  const PrinterStatus::SplitResult whole = PrinterStatus::split(stream);
  CHECK(fromFramesInOrder(whole.replies, stream, positions));
  checkRest(whole.rest, stream);
  if (positions.empty()) {
    CHECK(whole.replies.empty());
    CHECK(whole.rest.size() == std::min<std::size_t>(stream.size(), 9));
  }

  // Chunk sizes from 1 to maxChunk, drawn from a generator seeded with the first byte; a first
  // byte of 0 feeds one byte at a time.
  const std::size_t maxChunk = std::size_t{data[0]} + 1;
  std::uint32_t seed = data[0];
  std::vector<std::uint8_t> buffer;
  std::vector<PrinterStatus> replies;
  for (std::size_t at = 0; at < stream.size();) {
    seed = seed * 1664525u + 1013904223u;
    const std::size_t n = std::min(stream.size() - at, 1 + (seed >> 16) % maxChunk);
    buffer.insert(buffer.end(), stream.begin() + static_cast<std::ptrdiff_t>(at),
                  stream.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    PrinterStatus::SplitResult r = PrinterStatus::split(buffer);
    checkRest(r.rest, buffer);
    replies.insert(replies.end(), r.replies.begin(), r.replies.end());
    buffer = std::move(r.rest);
  }
  CHECK(fromFramesInOrder(replies, stream, positions));

  bool headersApartEnough = true;
  for (std::size_t i = 1; i < positions.size(); ++i) {
    for (std::size_t j = i; j-- > 0 && positions[i] - positions[j] <= 91;) {
      if (positions[i] - positions[j] >= 83) headersApartEnough = false;
    }
  }
  if (headersApartEnough) {
    CHECK(replies == whole.replies);
    CHECK(buffer == whole.rest);
  }
  return 0;
}
