#include "BridgeKit/HTTPResponse.h"

#include <charconv>
#include <optional>
#include <ostream>

namespace BridgeKit {

namespace {

constexpr std::string_view kTail = "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";

// Decimal digits of `n`; fits any 64-bit value with its sign.
struct Decimal {
  explicit Decimal(std::int64_t n) {
    const std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, n);
    length = static_cast<std::size_t>(r.ptr - digits);
  }
  std::string_view view() const { return {digits, length}; }

  char digits[24];
  std::size_t length;
};

void append(std::vector<std::uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

HTTPResponse HTTPResponse::json(int status, const Json::Value& value) {
  const std::optional<std::string> text = Json::write(value);
  const std::string_view body = text ? std::string_view(*text) : std::string_view("{}");
  return HTTPResponse{status,
                      {{"Content-Type", "application/json"}},
                      std::vector<std::uint8_t>(body.begin(), body.end())};
}

std::string_view HTTPResponse::reason(std::int64_t status) {
  switch (status) {
    case 200:
      return "OK";
    case 204:
      return "No Content";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 421:
      return "Misdirected Request";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::vector<std::uint8_t> HTTPResponse::serialized() const {
  const Decimal code(status);
  const std::string_view phrase = reason(status);
  const Decimal length(static_cast<std::int64_t>(body.size()));
  constexpr std::string_view kVersion = "HTTP/1.1 ";
  constexpr std::string_view kLength = "Content-Length: ";

  std::size_t size = kVersion.size() + code.length + 1 + phrase.size() + 2;
  for (const auto& [name, value] : headers) size += name.size() + 2 + value.size() + 2;
  size += kLength.size() + length.length + kTail.size() + body.size();

  std::vector<std::uint8_t> out;
  out.reserve(size);
  append(out, kVersion);
  append(out, code.view());
  append(out, " ");
  append(out, phrase);
  append(out, "\r\n");
  for (const auto& [name, value] : headers) {
    append(out, name);
    append(out, ": ");
    append(out, value);
    append(out, "\r\n");
  }
  append(out, kLength);
  append(out, length.view());
  append(out, kTail);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

std::ostream& operator<<(std::ostream& os, const HTTPResponse& response) {
  const std::vector<std::uint8_t> wire = response.serialized();
  os << "HTTPResponse{";
  for (std::uint8_t c : wire) {
    if (c == '\r') {
      os << "\\r";
    } else if (c == '\n') {
      os << "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      os << "\\x" << kHex[c >> 4] << kHex[c & 0xF];
    } else {
      os << static_cast<char>(c);
    }
  }
  return os << '}';
}

}  // namespace BridgeKit
