#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace BridgeKit {

// One HTTP/1.1 request: one per connection, a body only by Content-Length, no chunked transfer.
struct HTTPRequest {
  // The most bytes the header section (request line and header lines, without the blank line that
  // ends them) may have.
  static constexpr std::size_t maxHeader = 16384;
  // The largest Content-Length accepted.
  static constexpr std::int64_t maxBody = 33554432;

  // The header section of a request, read before its body.
  struct Head {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case, values trimmed
    std::int64_t bodyStart = 0;      // offset of the first body byte, just past CR LF CR LF
    std::int64_t contentLength = 0;  // 0 to maxBody

    bool operator==(const Head&) const = default;
  };

  // Result of parseHead: bad(status), head(Head) or incomplete.
  class HeadParse {
   public:
    static HeadParse bad(int status) { return HeadParse(Bad{status}); }
    static HeadParse incomplete() { return HeadParse(Incomplete{}); }
    static HeadParse head(Head h) { return HeadParse(std::move(h)); }

    bool isIncomplete() const { return std::holds_alternative<Incomplete>(v_); }
    // The HTTP status to answer with when the request is malformed.
    std::optional<int> badStatus() const {
      const Bad* b = std::get_if<Bad>(&v_);
      return b == nullptr ? std::nullopt : std::optional<int>(b->status);
    }
    // The head when the header section is complete and valid, nullptr otherwise.
    const Head* head() const { return std::get_if<Head>(&v_); }
    Head* head() { return std::get_if<Head>(&v_); }

    bool operator==(const HeadParse&) const = default;

   private:
    struct Bad {
      int status;
      bool operator==(const Bad&) const = default;
    };
    struct Incomplete {
      bool operator==(const Incomplete&) const = default;
    };
    template <class T>
    explicit HeadParse(T v) : v_(std::move(v)) {}

    std::variant<Incomplete, Bad, Head> v_;
  };

  // Result of parse: bad(status), done(HTTPRequest) or incomplete.
  class Parse;

  HTTPRequest() = default;
  // Every header name is lower-cased; names that differ only by case collapse into one entry,
  // the one that comes last in `headers`' order keeping its value.
  HTTPRequest(std::string method, std::string path, std::map<std::string, std::string> headers,
              std::vector<std::uint8_t> body);

  // Reads the header section at the front of `buffer` (every byte received on the connection so
  // far). Never looks past byte maxHeader + 4 of the buffer; the rest costs the header text only.
  // Once it yields head or bad for a buffer, it yields the same for every extension of it.
  static HeadParse parseHead(std::span<const std::uint8_t> buffer);
  static HeadParse parseHead(std::string_view buffer);

  // parseHead, then the body: the contentLength bytes after the head; bytes after them are
  // ignored.
  static Parse parse(std::span<const std::uint8_t> buffer);
  static Parse parse(std::string_view buffer);

  bool operator==(const HTTPRequest&) const = default;

  std::string method;  // as sent: no case folding, not validated
  std::string path;    // the request target as sent, query included
  std::map<std::string, std::string> headers;
  std::vector<std::uint8_t> body;
};

class HTTPRequest::Parse {
 public:
  static Parse bad(int status) { return Parse(Bad{status}); }
  static Parse incomplete() { return Parse(Incomplete{}); }
  static Parse done(HTTPRequest request) { return Parse(std::move(request)); }

  bool isIncomplete() const { return std::holds_alternative<Incomplete>(v_); }
  std::optional<int> badStatus() const {
    const Bad* b = std::get_if<Bad>(&v_);
    return b == nullptr ? std::nullopt : std::optional<int>(b->status);
  }
  // The request when head and body are complete, nullptr otherwise.
  const HTTPRequest* done() const { return std::get_if<HTTPRequest>(&v_); }

  bool operator==(const Parse&) const = default;

 private:
  struct Bad {
    int status;
    bool operator==(const Bad&) const = default;
  };
  struct Incomplete {
    bool operator==(const Incomplete&) const = default;
  };
  template <class T>
  explicit Parse(T v) : v_(std::move(v)) {}

  std::variant<Incomplete, Bad, HTTPRequest> v_;
};

// Readable forms for test failures and logs.
std::ostream& operator<<(std::ostream& os, const HTTPRequest& request);
std::ostream& operator<<(std::ostream& os, const HTTPRequest::Head& head);
std::ostream& operator<<(std::ostream& os, const HTTPRequest::HeadParse& result);
std::ostream& operator<<(std::ostream& os, const HTTPRequest::Parse& result);

}  // namespace BridgeKit
