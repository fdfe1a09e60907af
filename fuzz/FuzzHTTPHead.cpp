// Runs parseHead and parse on arbitrary bytes and aborts when a result breaks what the listener
// relies on: where a head ends, the limits, agreement between the two parsers, and a result that
// does not depend on how the bytes were split into reads.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>

#include "Base/Utf8.h"
#include "BridgeKit/HTTPRequest.h"
#include "FuzzCheck.h"

using BridgeKit::HTTPRequest;

namespace {

constexpr std::size_t kWindow = HTTPRequest::maxHeader + 4;
constexpr std::string_view kTerminator = "\r\n\r\n";

bool isFinal(const HTTPRequest::HeadParse& r) { return !r.isIncomplete(); }

bool hasEdgeBlank(std::string_view text) {
  if (text.empty()) return false;
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  return blank(text.front()) || blank(text.back());
}

void checkHead(std::span<const std::uint8_t> buffer, const HTTPRequest::Head& head) {
  const std::string_view text(reinterpret_cast<const char*>(buffer.data()), buffer.size());
  CHECK(head.bodyStart >= 4 && static_cast<std::size_t>(head.bodyStart) <= kWindow);
  CHECK(static_cast<std::size_t>(head.bodyStart) <= buffer.size());
  const auto end = static_cast<std::size_t>(head.bodyStart) - 4;
  CHECK(text.substr(end, 4) == kTerminator);
  CHECK(text.substr(0, end + 3).find(kTerminator) == std::string_view::npos);
  CHECK(Base::isValidUtf8(text.substr(0, end)));
  CHECK(head.contentLength >= 0 && head.contentLength <= HTTPRequest::maxBody);
  for (std::string_view piece : {std::string_view(head.method), std::string_view(head.path)}) {
    CHECK(!piece.empty() && piece.find(' ') == std::string_view::npos);
    CHECK(piece.find("\r\n") == std::string_view::npos);
  }
  for (const auto& [name, value] : head.headers) {
    CHECK(name.find(':') == std::string::npos);
    CHECK(name.find("\r\n") == std::string::npos && value.find("\r\n") == std::string::npos);
    for (char c : name) CHECK(!(c >= 'A' && c <= 'Z'));
    CHECK(!hasEdgeBlank(name) && !hasEdgeBlank(value));
  }
  CHECK(!head.headers.contains("transfer-encoding"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> buffer(data, size);
  const HTTPRequest::HeadParse head = HTTPRequest::parseHead(buffer);
  const HTTPRequest::Parse whole = HTTPRequest::parse(buffer);

  if (const std::optional<int> status = head.badStatus()) {
    CHECK(*status == 400 || *status == 411 || *status == 413 || *status == 431);
    if (*status == 431) CHECK(size > HTTPRequest::maxHeader);
    CHECK(whole == HTTPRequest::Parse::bad(*status));
  } else if (head.isIncomplete()) {
    CHECK(size < kWindow);
    CHECK(whole == HTTPRequest::Parse::incomplete());
  } else {
    const HTTPRequest::Head& h = *head.head();
    checkHead(buffer, h);
    const auto end = static_cast<std::size_t>(h.bodyStart + h.contentLength);
    if (size < end) {
      CHECK(whole == HTTPRequest::Parse::incomplete());
    } else {
      const HTTPRequest* request = whole.done();
      CHECK(request != nullptr);
      CHECK(request->method == h.method && request->path == h.path);
      CHECK(request->headers == h.headers);
      CHECK(std::equal(request->body.begin(), request->body.end(), buffer.begin() + h.bodyStart,
                       buffer.begin() + static_cast<long>(end)));
      CHECK(request->body.size() == static_cast<std::size_t>(h.contentLength));
    }
    // Every shorter buffer that lacks part of the terminator was still waiting for it.
    for (std::size_t cut = 1; cut <= 4; ++cut) {
      CHECK(HTTPRequest::parseHead(buffer.first(static_cast<std::size_t>(h.bodyStart) - cut))
                .isIncomplete());
    }
  }

  // A final answer on a prefix stays the answer on the whole buffer: nothing past the window
  // matters, and where the reads split the bytes does not either.
  for (std::size_t cut : {std::min(size, kWindow), size / 2, size - size / 8}) {
    const HTTPRequest::HeadParse early = HTTPRequest::parseHead(buffer.first(cut));
    if (isFinal(early)) CHECK(early == head);
  }
  return 0;
}
