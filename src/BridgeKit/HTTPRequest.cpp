#include "BridgeKit/HTTPRequest.h"

#include <algorithm>
#include <limits>
#include <ostream>

#include "Base/Utf8.h"

namespace BridgeKit {

namespace {

constexpr std::string_view kTerminator = "\r\n\r\n";
// The terminator must start within the first maxHeader + 1 bytes, so it lies within this window.
constexpr std::size_t kWindow = HTTPRequest::maxHeader + kTerminator.size();

// Space, horizontal tab and the Unicode space separators (general category Zs). Line breaks are
// not blanks.
bool isBlank(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

// REQUIRES: `text` is valid UTF-8.
std::string_view trimBlanks(std::string_view text) {
  while (!text.empty()) {
    const std::optional<Base::CodePoint> cp = Base::decodeUtf8(text);
    if (!cp || !isBlank(cp->value)) break;
    text.remove_prefix(cp->length);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) --start;
    const std::optional<Base::CodePoint> cp = Base::decodeUtf8(text.substr(start));
    if (!cp || !isBlank(cp->value)) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

// ASCII lower-casing: header names are tokens, and every name this system reads is ASCII.
std::string lowerCased(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool isLowerCase(std::string_view name) {
  return std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Offset of the first CR LF CR LF that ends within the first `limit` bytes of `text`, if any.
std::optional<std::size_t> findTerminator(std::string_view text, std::size_t limit) {
  const std::size_t p = text.substr(0, limit).find(kTerminator);
  if (p == std::string_view::npos) return std::nullopt;
  return p;
}

// True when the terminator can still arrive: some start offset no greater than maxHeader leaves a
// proper prefix of CR LF CR LF at the end of `text`.
bool terminatorMayFollow(std::string_view text) {
  const std::size_t first =
      text.size() >= kTerminator.size() - 1 ? text.size() - (kTerminator.size() - 1) : 0;
  for (std::size_t p = first; p <= HTTPRequest::maxHeader && p < text.size(); ++p) {
    if (kTerminator.starts_with(text.substr(p))) return true;
  }
  return false;
}

// Parses a Content-Length value: an optional sign, one or more ASCII digits, nothing else.
// Empty when the text is not such a number within the signed 64-bit range, or is negative.
// Numbers above maxBody come back as maxBody + 1, which is all the caller needs to know.
std::optional<std::int64_t> parseLength(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    // Beyond int64 reads as "not a number" (400) rather than "too large" (413).
    if (value > (kLimit - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::int64_t>(std::min<std::uint64_t>(value, HTTPRequest::maxBody + 1));
}

std::string_view asText(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void printQuoted(std::ostream& os, std::string_view bytes) {
  constexpr std::size_t kShown = 80;
  static constexpr char kHex[] = "0123456789abcdef";
  os << '"';
  for (char ch : bytes.substr(0, kShown)) {
    const auto c = static_cast<std::uint8_t>(ch);
    if (c == '\r') {
      os << "\\r";
    } else if (c == '\n') {
      os << "\\n";
    } else if (c == '"' || c == '\\') {
      os << '\\' << ch;
    } else if (c < 0x20 || c >= 0x7F) {
      os << "\\x" << kHex[c >> 4] << kHex[c & 0xF];
    } else {
      os << ch;
    }
  }
  os << '"';
  if (bytes.size() > kShown) os << "...(" << bytes.size() << " bytes)";
}

void printHeaders(std::ostream& os, const std::map<std::string, std::string>& headers) {
  os << '{';
  bool first = true;
  for (const auto& [name, value] : headers) {
    if (!first) os << ", ";
    first = false;
    printQuoted(os, name);
    os << ": ";
    printQuoted(os, value);
  }
  os << '}';
}

}  // namespace

HTTPRequest::HTTPRequest(std::string m, std::string p, std::map<std::string, std::string> h,
                         std::vector<std::uint8_t> b)
    : method(std::move(m)), path(std::move(p)), body(std::move(b)) {
  if (std::all_of(h.begin(), h.end(), [](const auto& entry) { return isLowerCase(entry.first); })) {
    headers = std::move(h);
    return;
  }
  for (auto& [name, value] : h) {
    headers.insert_or_assign(lowerCased(name), std::move(value));
  }
}

HTTPRequest::HeadParse HTTPRequest::parseHead(std::span<const std::uint8_t> buffer) {
  const std::string_view all = asText(buffer);
  const std::optional<std::size_t> end = findTerminator(all, kWindow);
  if (!end) {
    // A request whose terminator straddles the end of the window would be refused or accepted
    // depending on where the reads happened to split it, so refuse only once it cannot fit.
    if (all.size() <= maxHeader || terminatorMayFollow(all)) return HeadParse::incomplete();
    return HeadParse::bad(431);
  }
  const std::string_view text = all.substr(0, *end);
  if (!Base::isValidUtf8(text)) return HeadParse::bad(400);

  Head head;
  head.bodyStart = static_cast<std::int64_t>(*end + kTerminator.size());

  const std::size_t lineEnd = std::min(text.find("\r\n"), text.size());
  std::string_view requestLine = text.substr(0, lineEnd);
  std::string_view pieces[3];
  std::size_t count = 0;
  while (!requestLine.empty()) {
    const std::size_t start = requestLine.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    requestLine.remove_prefix(start);
    const std::size_t stop = std::min(requestLine.find(' '), requestLine.size());
    if (count == 3) return HeadParse::bad(400);
    pieces[count++] = requestLine.substr(0, stop);
    requestLine.remove_prefix(stop);
  }
  if (count != 3 || !pieces[2].starts_with("HTTP/1.")) return HeadParse::bad(400);
  head.method = pieces[0];
  head.path = pieces[1];

  std::size_t pos = lineEnd;
  while (pos < text.size()) {
    pos += 2;  // past the CR LF that ends the previous line
    const std::size_t next = std::min(text.find("\r\n", pos), text.size());
    const std::string_view line = text.substr(pos, next - pos);
    pos = next;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return HeadParse::bad(400);
    head.headers.insert_or_assign(lowerCased(trimBlanks(line.substr(0, colon))),
                                  std::string(trimBlanks(line.substr(colon + 1))));
  }

  if (head.headers.contains("transfer-encoding")) return HeadParse::bad(411);
  const auto length = head.headers.find("content-length");
  const std::optional<std::int64_t> contentLength =
      parseLength(length == head.headers.end() ? std::string_view("0") : length->second);
  if (!contentLength) return HeadParse::bad(400);
  if (*contentLength > maxBody) return HeadParse::bad(413);
  head.contentLength = *contentLength;
  return HeadParse::head(std::move(head));
}

HTTPRequest::HeadParse HTTPRequest::parseHead(std::string_view buffer) {
  return parseHead(asBytes(buffer));
}

HTTPRequest::Parse HTTPRequest::parse(std::span<const std::uint8_t> buffer) {
  HeadParse result = parseHead(buffer);
  if (std::optional<int> status = result.badStatus()) return Parse::bad(*status);
  Head* head = result.head();
  if (head == nullptr) return Parse::incomplete();
  const auto start = static_cast<std::size_t>(head->bodyStart);
  const auto length = static_cast<std::size_t>(head->contentLength);
  if (buffer.size() - start < length) return Parse::incomplete();
  const std::span<const std::uint8_t> body = buffer.subspan(start, length);
  // The head's names are lower case already, so the map is taken over as it is.
  return Parse::done(HTTPRequest(std::move(head->method), std::move(head->path),
                                 std::move(head->headers),
                                 std::vector<std::uint8_t>(body.begin(), body.end())));
}

HTTPRequest::Parse HTTPRequest::parse(std::string_view buffer) { return parse(asBytes(buffer)); }

std::ostream& operator<<(std::ostream& os, const HTTPRequest& request) {
  os << "HTTPRequest{";
  printQuoted(os, request.method);
  os << ' ';
  printQuoted(os, request.path);
  os << ' ';
  printHeaders(os, request.headers);
  os << " body ";
  printQuoted(os, asText(request.body));
  return os << '}';
}

std::ostream& operator<<(std::ostream& os, const HTTPRequest::Head& head) {
  os << "Head{";
  printQuoted(os, head.method);
  os << ' ';
  printQuoted(os, head.path);
  os << ' ';
  printHeaders(os, head.headers);
  return os << " bodyStart " << head.bodyStart << " contentLength " << head.contentLength << '}';
}

std::ostream& operator<<(std::ostream& os, const HTTPRequest::HeadParse& result) {
  if (const HTTPRequest::Head* head = result.head()) return os << "head(" << *head << ')';
  if (std::optional<int> status = result.badStatus()) return os << "bad(" << *status << ')';
  return os << "incomplete";
}

std::ostream& operator<<(std::ostream& os, const HTTPRequest::Parse& result) {
  if (const HTTPRequest* request = result.done()) return os << "done(" << *request << ')';
  if (std::optional<int> status = result.badStatus()) return os << "bad(" << *status << ')';
  return os << "incomplete";
}

}  // namespace BridgeKit
