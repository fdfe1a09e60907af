#include "BridgeKit/HTTPRequest.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace BridgeKit {
namespace {

using Headers = std::map<std::string, std::string>;
using HeadParse = HTTPRequest::HeadParse;
using Parse = HTTPRequest::Parse;

std::vector<std::uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

// A request line plus one filler header, padded so that the header section (without the blank
// line) is exactly `size` bytes long.
std::string headerSectionOf(std::size_t size) {
  std::string text = "GET / HTTP/1.1\r\nX-Fill: ";
  text.append(size - text.size(), 'a');
  return text;
}

// Malformed or unfinished buffers: parseHead and parse must both answer `status`, or incomplete
// when it is empty.
struct RefusalCase {
  const char* what;
  std::string buffer;
  std::optional<int> status;
};

TEST(HTTPRequestTest, RefusesOrWaits) {
  const std::string max = headerSectionOf(HTTPRequest::maxHeader);
  const RefusalCase cases[] = {
      {"empty buffer", "", std::nullopt},
      {"request line only", "GET / HTTP/1.1\r\n", std::nullopt},
      {"terminator cut short", "GET / HTTP/1.1\r\nHost: x\r\n\r", std::nullopt},
      {"lone LFs do not end the head", "GET / HTTP/1.1\n\n", std::nullopt},
      {"full buffer without terminator", std::string(HTTPRequest::maxHeader, 'a'), std::nullopt},
      {"one byte over without terminator", std::string(HTTPRequest::maxHeader + 1, 'a'), 431},
      {"window full without terminator", std::string(HTTPRequest::maxHeader + 4, 'a'), 431},
      {"section one byte too long", headerSectionOf(HTTPRequest::maxHeader + 1) + "\r\n\r\n", 431},
      {"terminator may still end the longest section", max + "\r\n\r", std::nullopt},
      {"terminator start past the longest section", max + "a\r\n\r", 431},
      {"terminator start past the longest section after CR", max + "\r\r\n\r", 431},
      {"invalid byte", "GET /\xff HTTP/1.1\r\n\r\n", 400},
      {"overlong slash", "GET /\xc0\xaf HTTP/1.1\r\n\r\n", 400},
      {"surrogate in a value", "GET / HTTP/1.1\r\nX: \xed\xa0\x80\r\n\r\n", 400},
      {"truncated sequence in a name", "GET / HTTP/1.1\r\nX\xe2\x82: 1\r\n\r\n", 400},
      {"empty request line", "\r\n\r\n", 400},
      {"two pieces", "GET /\r\n\r\n", 400},
      {"four pieces", "GET /a b HTTP/1.1\r\n\r\n", 400},
      {"tab is no separator", "GET\t/ HTTP/1.1\r\n\r\n", 400},
      {"version 2", "GET / HTTP/2\r\n\r\n", 400},
      {"lower-case version", "GET / http/1.1\r\n\r\n", 400},
      {"version without minor", "GET / HTTP/1\r\n\r\n", 400},
      {"header line without colon", "GET / HTTP/1.1\r\nHost\r\n\r\n", 400},
      {"folded continuation line", "GET / HTTP/1.1\r\nX: a\r\n  b\r\n\r\n", 400},
      {"transfer-encoding beside a valid length",
       "POST / HTTP/1.1\r\nTransfer-Encoding: identity\r\nContent-Length: 5\r\n\r\n", 411},
      {"transfer-encoding before the length check",
       "POST / HTTP/1.1\r\nContent-Length: x\r\ntransfer-encoding:\r\n\r\n", 411},
      {"line check before transfer-encoding",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nbroken\r\n\r\n", 400},
      {"empty length", "POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", 400},
      {"hexadecimal length", "POST / HTTP/1.1\r\nContent-Length: 0x10\r\n\r\n", 400},
      {"negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"sign only", "POST / HTTP/1.1\r\nContent-Length: +\r\n\r\n", 400},
      {"two signs", "POST / HTTP/1.1\r\nContent-Length: +-5\r\n\r\n", 400},
      {"space inside", "POST / HTTP/1.1\r\nContent-Length: 1 0\r\n\r\n", 400},
      {"trailing letter", "POST / HTTP/1.1\r\nContent-Length: 5a\r\n\r\n", 400},
      {"fullwidth digit", "POST / HTTP/1.1\r\nContent-Length: \xef\xbc\x95\r\n\r\n", 400},
      {"lowest int64", "POST / HTTP/1.1\r\nContent-Length: -9223372036854775808\r\n\r\n", 400},
      {"beyond int64", "POST / HTTP/1.1\r\nContent-Length: 9223372036854775808\r\n\r\n", 400},
      {"far beyond int64", "POST / HTTP/1.1\r\nContent-Length: 123456789012345678901234\r\n\r\n",
       400},
      {"highest int64", "POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n", 413},
      {"one over the body limit", "POST / HTTP/1.1\r\nContent-Length: 33554433\r\n\r\n", 413},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.status) {
      EXPECT_EQ(HTTPRequest::parseHead(c.buffer), HeadParse::bad(*c.status));
      EXPECT_EQ(HTTPRequest::parse(c.buffer), Parse::bad(*c.status));
    } else {
      EXPECT_EQ(HTTPRequest::parseHead(c.buffer), HeadParse::incomplete());
      EXPECT_EQ(HTTPRequest::parse(c.buffer), Parse::incomplete());
    }
  }
}

struct HeadCase {
  const char* what;
  std::string buffer;
  HTTPRequest::Head head;
};

TEST(HTTPRequestTest, ReadsHeads) {
  const HeadCase cases[] = {
      {"no header lines", "GET / HTTP/1.1\r\n\r\n", {"GET", "/", {}, 18, 0}},
      {"runs of spaces in the request line",
       "  GET   /v1/status?a=1   HTTP/1.1  \r\n\r\n",
       {"GET", "/v1/status?a=1", {}, 39, 0}},
      {"version 1.0, method and target unvalidated",
       "get v1 HTTP/1.0\r\n\r\n",
       {"get", "v1", {}, 19, 0}},
      {"anything after HTTP/1.", "OPTIONS * HTTP/1.x\r\n\r\n", {"OPTIONS", "*", {}, 22, 0}},
      {"names lower-cased, blanks trimmed",
       "GET / HTTP/1.1\r\n \tHoSt :\t 127.0.0.1:52719 \t\r\n\r\n",
       {"GET", "/", {{"host", "127.0.0.1:52719"}}, 47, 0}},
      {"Unicode space separators trimmed, others kept",
       "GET / HTTP/1.1\r\nA:\xc2\xa0\xe3\x80\x80v\xe2\x80\x83\xe2\x80\xaf\r\n"
       "B: \xe2\x80\x8bv\xc2\x85\r\nC: v\n\r\n\r\n",
       {"GET", "/", {{"a", "v"}, {"b", "\xe2\x80\x8bv\xc2\x85"}, {"c", "v\n"}}, 52, 0}},
      {"names lower-cased in ASCII only",
       "GET / HTTP/1.1\r\nX-\xc3\x84: 1\r\n\r\n",
       {"GET", "/", {{"x-\xc3\x84", "1"}}, 27, 0}},
      {"value after the first colon, empty name and value",
       "GET / HTTP/1.1\r\nOrigin: https://a:1\r\n: v\r\nX:\r\n\r\n",
       {"GET", "/", {{"origin", "https://a:1"}, {"", "v"}, {"x", ""}}, 48, 0}},
      {"later line replaces an earlier one of another case",
       "POST / HTTP/1.1\r\nContent-Length: 10\r\ncontent-length: 5\r\n\r\n",
       {"POST", "/", {{"content-length", "5"}}, 58, 5}},
      {"plus sign",
       "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\n",
       {"POST", "/", {{"content-length", "+5"}}, 39, 5}},
      {"negative zero",
       "POST / HTTP/1.1\r\nContent-Length: -0\r\n\r\n",
       {"POST", "/", {{"content-length", "-0"}}, 39, 0}},
      {"leading zeros",
       "POST / HTTP/1.1\r\nContent-Length: 00000000000000000000007\r\n\r\n",
       {"POST", "/", {{"content-length", "00000000000000000000007"}}, 60, 7}},
      {"body limit",
       "POST / HTTP/1.1\r\nContent-Length: 33554432\r\n\r\n",
       {"POST", "/", {{"content-length", "33554432"}}, 45, HTTPRequest::maxBody}},
      {"longest header section",
       headerSectionOf(HTTPRequest::maxHeader) + "\r\n\r\n",
       {"GET",
        "/",
        {{"x-fill", std::string(HTTPRequest::maxHeader - 24, 'a')}},
        HTTPRequest::maxHeader + 4,
        0}},
  };
  for (const HeadCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HTTPRequest::parseHead(c.buffer), HeadParse::head(c.head));
  }
}

TEST(HTTPRequestTest, ReadsBodies) {
  struct Case {
    const char* what;
    std::string buffer;
    Parse result;
  };
  const std::string head = "POST /v1/print HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  const Headers headers = {{"content-length", "4"}};
  const Case cases[] = {
      {"head before its body", head + "ab", Parse::incomplete()},
      {"exact body", head + "abcd",
       Parse::done(HTTPRequest("POST", "/v1/print", headers, bytes("abcd")))},
      {"bytes past the body ignored", head + "abcdef",
       Parse::done(HTTPRequest("POST", "/v1/print", headers, bytes("abcd")))},
      {"body is bytes, not text", head + std::string("\xff\0\r\n", 4),
       Parse::done(HTTPRequest("POST", "/v1/print", headers, bytes(std::string("\xff\0\r\n", 4))))},
      {"no length, no body", "GET / HTTP/1.1\r\n\r\nxyz",
       Parse::done(HTTPRequest("GET", "/", {}, {}))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(HTTPRequest::parse(c.buffer), c.result);
  }
  // The head is complete before the body is.
  const HeadParse early = HTTPRequest::parseHead(head + "ab");
  ASSERT_NE(early.head(), nullptr);
  EXPECT_EQ(early.head()->contentLength, 4);
}

// Feeds `request` as the listener does, one more byte per call, and checks every prefix: nothing
// but incomplete until the head (then the body) is complete, and then always the same result.
void expectEveryPrefix(const std::string& request) {
  const Parse whole = HTTPRequest::parse(request);
  const HTTPRequest* done = whole.done();
  ASSERT_NE(done, nullptr) << whole;
  const HeadParse fullHead = HTTPRequest::parseHead(request);
  ASSERT_NE(fullHead.head(), nullptr);
  const auto bodyStart = static_cast<std::size_t>(fullHead.head()->bodyStart);
  const std::size_t end = bodyStart + done->body.size();
  std::vector<std::uint8_t> buffer;
  for (std::size_t size = 0; size <= request.size(); ++size) {
    if (size > 0) buffer.push_back(static_cast<std::uint8_t>(request[size - 1]));
    const HeadParse h = HTTPRequest::parseHead(buffer);
    const Parse p = HTTPRequest::parse(buffer);
    if (size < bodyStart) {
      ASSERT_EQ(h, HeadParse::incomplete()) << "size " << size;
    } else {
      ASSERT_EQ(h, fullHead) << "size " << size;
    }
    if (size < end) {
      ASSERT_EQ(p, Parse::incomplete()) << "size " << size;
    } else {
      ASSERT_EQ(p, whole) << "size " << size;
    }
  }
}

TEST(HTTPRequestTest, EveryPrefixOfAValidRequest) {
  const std::string request =
      "POST /v1/print HTTP/1.1\r\nHost: 127.0.0.1:52719\r\nOrigin: https://x\r\n"
      "Content-Type: application/json\r\nContent-Length: 13\r\n\r\n{\"tapeMm\":12}trailing";
  expectEveryPrefix(request);
  EXPECT_EQ(HTTPRequest::parse(request),
            Parse::done(HTTPRequest("POST", "/v1/print",
                                    {{"host", "127.0.0.1:52719"},
                                     {"origin", "https://x"},
                                     {"content-type", "application/json"},
                                     {"content-length", "13"}},
                                    bytes("{\"tapeMm\":12}"))));
}

// Where the reads split a request must not change its fate: a terminator that straddles the
// header limit is waited for, not refused.
TEST(HTTPRequestTest, EveryPrefixOfARequestWithTheLongestHead) {
  const std::string request =
      headerSectionOf(HTTPRequest::maxHeader - 19) + "\r\nContent-Length: 2\r\n\r\nok";
  ASSERT_EQ(request.find("\r\n\r\n"), HTTPRequest::maxHeader);
  expectEveryPrefix(request);
}

TEST(HTTPRequestTest, ConstructorLowerCasesNames) {
  const HTTPRequest request("GET", "/", {{"Host", "a"}, {"HOST", "b"}, {"x-y", "c"}}, {});
  // "HOST" sorts before "Host", so "Host" comes later and its value stays.
  EXPECT_EQ(request.headers, (Headers{{"host", "a"}, {"x-y", "c"}}));
  EXPECT_EQ(request, HTTPRequest("GET", "/", {{"host", "a"}, {"X-Y", "c"}}, {}));
  EXPECT_NE(request, HTTPRequest("GET", "/", {{"host", "a"}, {"x-y", "C"}}, {}));
}

// The parser must stay within the window and the header text whatever the buffer's claimed size:
// the bytes past the window are made unreadable, so a stray read crashes the test.
class GuardedBuffer {
 public:
  GuardedBuffer(std::string_view readable, std::size_t claimedSize) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t readablePages = (readable.size() + page - 1) / page;
    mapped_ = readablePages * page + claimedSize;
    void* base = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(base, MAP_FAILED);
    base_ = static_cast<std::uint8_t*>(base);
    std::uint8_t* guard = base_ + readablePages * page;
    data_ = guard - readable.size();
    std::copy(readable.begin(), readable.end(), data_);
    EXPECT_EQ(mprotect(guard, mapped_ - readablePages * page, PROT_NONE), 0);
    size_ = readable.size() + claimedSize;
  }
  ~GuardedBuffer() { munmap(base_, mapped_); }
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;

  std::span<const std::uint8_t> span() const { return {data_, size_}; }

 private:
  std::uint8_t* base_ = nullptr;
  std::uint8_t* data_ = nullptr;
  std::size_t mapped_ = 0;
  std::size_t size_ = 0;
};

TEST(HTTPRequestTest, LooksNoFurtherThanTheWindow) {
  const std::size_t claimed = std::size_t{1} << 20;
  const GuardedBuffer noTerminator(std::string(HTTPRequest::maxHeader + 4, 'a'), claimed);
  EXPECT_EQ(HTTPRequest::parseHead(noTerminator.span()), HeadParse::bad(431));
  EXPECT_EQ(HTTPRequest::parse(noTerminator.span()), Parse::bad(431));

  const GuardedBuffer longest(headerSectionOf(HTTPRequest::maxHeader) + "\r\n\r\n", claimed);
  const HeadParse h = HTTPRequest::parseHead(longest.span());
  ASSERT_NE(h.head(), nullptr) << h;
  EXPECT_EQ(h.head()->bodyStart, HTTPRequest::maxHeader + 4);
  EXPECT_NE(HTTPRequest::parse(longest.span()).done(), nullptr);
}

}  // namespace
}  // namespace BridgeKit
