#include "PrinterKit/PrinterStatus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Json/Value.h"

namespace PrinterKit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using State = PrinterStatus::State;
using Problem = PrinterStatus::Problem;

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A 92-byte reply with these codes; `fill` goes into the bytes that are not interpreted.
Bytes reply(std::uint8_t state, std::uint8_t problem, std::uint8_t tape, std::uint8_t fill = 0) {
  Bytes r(PrinterStatus::replyLength, fill);
  std::copy(PrinterStatus::header.begin(), PrinterStatus::header.end(), r.begin());
  r[14] = state;
  r[15] = problem;
  r[16] = tape;
  return r;
}

PrinterStatus status(State state, std::optional<Problem> problem, std::optional<int> tapeMm,
                     std::uint8_t tape, std::uint8_t stateCode, std::uint8_t problemCode) {
  return {state, problem, tapeMm, tape, stateCode, problemCode};
}

TEST(PrinterStatusTest, DecodesTheExampleReply) {
  const Bytes r = concat({ascii("@BDC ST2\r\nP"), {0x00, 0x3B, 0x4E, 0x00, 0x00, 0x04}, Bytes(75)});
  ASSERT_EQ(r.size(), 92u);
  EXPECT_EQ(PrinterStatus::fromReply(r), status(State::ready, std::nullopt, 18, 4, 0, 0));
}

TEST(PrinterStatusTest, DecodesCodes) {
  struct Case {
    std::uint8_t stateCode, problemCode, tapeCode;
    State state;
    std::optional<Problem> problem;
    std::optional<int> tapeMm;
  };
  const Case cases[] = {
      {0x00, 0x00, 0x02, State::ready, std::nullopt, 9},
      {0x01, 0x00, 0x03, State::unknown, std::nullopt, 12},
      {0x02, 0x00, 0x03, State::printing, std::nullopt, 12},
      {0x03, 0x00, 0x04, State::unknown, std::nullopt, 18},
      {0x04, 0x00, 0x05, State::unknown, std::nullopt, 24},
      {0x05, 0x00, 0x05, State::ready, std::nullopt, 24},
      {0x06, 0x00, 0x05, State::unknown, std::nullopt, 24},
      {0x07, 0x00, 0x05, State::unknown, std::nullopt, 24},
      {0xFF, 0x00, 0x05, State::unknown, std::nullopt, 24},
      // Tape codes without a width.
      {0x00, 0x00, 0x00, State::ready, std::nullopt, std::nullopt},
      {0x00, 0x00, 0x01, State::ready, std::nullopt, std::nullopt},
      {0x00, 0x00, 0x06, State::ready, std::nullopt, std::nullopt},
      {0x00, 0x00, 0xFF, State::ready, std::nullopt, std::nullopt},
      // A reported problem hides the tape width, but the tape code is kept.
      {0x00, 0x21, 0x04, State::ready, Problem::coverOpen, std::nullopt},
      {0x00, 0x06, 0x04, State::ready, Problem::noCassette, std::nullopt},
      {0x02, 0x01, 0x04, State::printing, Problem::unknown, std::nullopt},
      {0x00, 0xFF, 0x02, State::ready, Problem::unknown, std::nullopt},
      {0x01, 0x20, 0x00, State::unknown, Problem::unknown, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PrinterStatus::fromReply(reply(c.stateCode, c.problemCode, c.tapeCode, 0xEE)),
              status(c.state, c.problem, c.tapeMm, c.tapeCode, c.stateCode, c.problemCode))
        << "codes " << int{c.stateCode} << " " << int{c.problemCode} << " " << int{c.tapeCode};
  }
}

TEST(PrinterStatusTest, FromReplyNeedsSeventeenBytesWithTheHeader) {
  const Bytes r = reply(0x02, 0x00, 0x03);
  const PrinterStatus expected = status(State::printing, std::nullopt, 12, 3, 2, 0);
  for (std::size_t n = 0; n <= r.size(); ++n) {
    const auto decoded = PrinterStatus::fromReply(std::span(r).first(n));
    if (n <= 16) {
      EXPECT_EQ(decoded, std::nullopt) << n << " bytes";
    } else {
      EXPECT_EQ(decoded, expected) << n << " bytes";
    }
  }
  for (std::size_t i = 0; i < PrinterStatus::header.size(); ++i) {
    Bytes broken = r;
    broken[i] ^= 0x01;
    EXPECT_EQ(PrinterStatus::fromReply(broken), std::nullopt) << "header byte " << i;
  }
}

TEST(PrinterStatusTest, Split) {
  const Bytes a = reply(0x00, 0x00, 0x04);
  const Bytes b = reply(0x02, 0x00, 0x03);
  const PrinterStatus sa = *PrinterStatus::fromReply(a);
  const PrinterStatus sb = *PrinterStatus::fromReply(b);
  const Bytes noise20 = ascii("0123456789abcdefghij");
  const Bytes head7(a.begin(), a.begin() + 7);
  const Bytes cutA(a.begin(), a.begin() + 50);
  Bytes badHeader = a;
  badHeader[3] = 'X';

  struct Case {
    const char* name;
    Bytes input;
    std::vector<PrinterStatus> replies;
    Bytes rest;
  };
  const Case cases[] = {
      {"empty", {}, {}, {}},
      {"noise keeps its last nine bytes", noise20, {}, ascii("bcdefghij")},
      {"short noise is kept whole", ascii("abc"), {}, ascii("abc")},
      {"a header begun", head7, {}, head7},
      {"reply then noise", concat({a, ascii("vwxyz")}), {sa}, ascii("vwxyz")},
      {"two replies", concat({a, b}), {sa, sb}, {}},
      {"junk before a reply", concat({noise20, a}), {sa}, {}},
      {"header, 40 bytes, then a reply", concat({Bytes(a.begin(), a.begin() + 50), b}), {sb}, {}},
      {"a frame cut short and never completed", concat({cutA, cutA}), {}, cutA},
      {"a wrong header is noise", concat({badHeader, b}), {sb}, {}},
      {"a wrong header alone", badHeader, {}, Bytes(a.end() - 9, a.end())},
      {"an unfinished frame is kept",
       concat({a, Bytes(b.begin(), b.begin() + 91)}),
       {sa},
       Bytes(b.begin(), b.begin() + 91)},
      {"a reply then a header begun", concat({a, head7}), {sa}, head7},
      // A header starting at offset 82 of a frame lies whole in its 92 bytes and cuts it.
      {"a header inside the frame's bytes",
       concat({Bytes(a.begin(), a.begin() + 82), b}),
       {sb},
       {}},
      // One starting at offset 91 cuts it too once its 10 bytes are there.
      {"a header at the frame's last byte",
       concat({Bytes(a.begin(), a.begin() + 91), b}),
       {sb},
       {}},
      {"a header right after the frame", concat({a, b, a}), {sa, sb, sa}, {}},
  };
  for (const Case& c : cases) {
    const PrinterStatus::SplitResult r = PrinterStatus::split(c.input);
    EXPECT_EQ(r.replies, c.replies) << c.name;
    EXPECT_EQ(r.rest, c.rest) << c.name;
  }

  // The rest of a begun reply, appended, completes it.
  const PrinterStatus::SplitResult first = PrinterStatus::split(head7);
  const PrinterStatus::SplitResult second =
      PrinterStatus::split(concat({first.rest, Bytes(a.begin() + 7, a.end())}));
  EXPECT_EQ(second.replies, std::vector<PrinterStatus>{sa});
  EXPECT_TRUE(second.rest.empty());
}

// The receiver's loop: append each chunk to the buffer, split it, keep the rest.
struct Receiver {
  Bytes buffer;
  std::vector<PrinterStatus> replies;
  std::size_t longestRest = 0;

  void feed(std::span<const std::uint8_t> chunk) {
    buffer.insert(buffer.end(), chunk.begin(), chunk.end());
    PrinterStatus::SplitResult r = PrinterStatus::split(buffer);
    replies.insert(replies.end(), r.replies.begin(), r.replies.end());
    ASSERT_TRUE(std::equal(r.rest.rbegin(), r.rest.rend(), buffer.rbegin()))
        << "the rest is not a suffix of the buffer";
    buffer = std::move(r.rest);
    longestRest = std::max(longestRest, buffer.size());
  }
};

TEST(PrinterStatusTest, SplitDoesNotDependOnHowTheStreamIsCut) {
  const Bytes a = reply(0x00, 0x00, 0x04, 0x11);
  const Bytes b = reply(0x02, 0x00, 0x05, 0x22);
  const Bytes c = reply(0x00, 0x21, 0x04, 0x33);
  const Bytes header(PrinterStatus::header.begin(), PrinterStatus::header.end());
  // Replies, noise, a frame cut short, stray header pieces and a frame with a broken header.
  Bytes broken = b;
  broken[9] = 0x00;
  const Bytes stream =
      concat({ascii("junk"), a, b, ascii("@BDC ST"), Bytes(a.begin(), a.begin() + 60), c,
              ascii("\r\n@@BDC"), broken, a, Bytes(30, 0x40), header, ascii("x"), b, c,
              Bytes(header.begin(), header.begin() + 9)});
  const PrinterStatus::SplitResult whole = PrinterStatus::split(stream);
  const auto sa = *PrinterStatus::fromReply(a);
  const auto sb = *PrinterStatus::fromReply(b);
  const auto sc = *PrinterStatus::fromReply(c);
  ASSERT_EQ(whole.replies, (std::vector<PrinterStatus>{sa, sb, sc, sa, sb, sc}));
  ASSERT_EQ(whole.rest, Bytes(header.begin(), header.begin() + 9));

  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Receiver rx;
    rx.feed(std::span(stream).first(cut));
    rx.feed(std::span(stream).subspan(cut));
    EXPECT_EQ(rx.replies, whole.replies) << "cut at " << cut;
    EXPECT_EQ(rx.buffer, whole.rest) << "cut at " << cut;
  }

  Receiver rx;
  for (std::size_t i = 0; i < stream.size(); ++i) rx.feed(std::span(stream).subspan(i, 1));
  EXPECT_EQ(rx.replies, whole.replies);
  EXPECT_EQ(rx.buffer, whole.rest);
  EXPECT_LE(rx.longestRest, 91u);
}

// A complete frame is judged without waiting for bytes that may never come: a header starting in
// its last nine bytes cuts it only when that header has arrived whole.
TEST(PrinterStatusTest, HeaderAcrossTheFrameEnd) {
  const Bytes a = reply(0x00, 0x00, 0x04);
  const Bytes b = reply(0x02, 0x00, 0x03);
  const Bytes stream = concat({Bytes(a.begin(), a.begin() + 85), b});

  EXPECT_EQ(PrinterStatus::split(stream).replies,
            std::vector<PrinterStatus>{*PrinterStatus::fromReply(b)});

  Receiver rx;
  rx.feed(std::span(stream).first(92));
  rx.feed(std::span(stream).subspan(92));
  const Bytes frame(stream.begin(), stream.begin() + 92);
  EXPECT_EQ(rx.replies, std::vector<PrinterStatus>{*PrinterStatus::fromReply(frame)});
}

TEST(PrinterStatusTest, Texts) {
  struct StateCase {
    State state;
    const char* text;
  };
  for (auto [state, t] : {StateCase{State::ready, "ready"}, StateCase{State::printing, "printing"},
                          StateCase{State::unknown, "unknown"}}) {
    EXPECT_EQ(text(state), t);
    EXPECT_EQ(stateFromText(t), state);
  }
  struct ProblemCase {
    Problem problem;
    const char* text;
  };
  for (auto [problem, t] :
       {ProblemCase{Problem::coverOpen, "coverOpen"},
        ProblemCase{Problem::noCassette, "noCassette"}, ProblemCase{Problem::unknown, "unknown"}}) {
    EXPECT_EQ(text(problem), t);
    EXPECT_EQ(problemFromText(t), problem);
  }
  for (const char* other : {"", "Ready", "cover_open", "coverOpen ", "busy"}) {
    EXPECT_EQ(stateFromText(other), std::nullopt) << other;
    EXPECT_EQ(problemFromText(other), std::nullopt) << other;
  }
  EXPECT_EQ(stateFromText("coverOpen"), std::nullopt);
  EXPECT_EQ(problemFromText("printing"), std::nullopt);
}

TEST(PrinterStatusTest, ToJson) {
  EXPECT_EQ(toJson(status(State::ready, std::nullopt, std::nullopt, 1, 0, 0)),
            Json::Value(Json::Object{
                {"state", "ready"}, {"tapeCode", 1}, {"stateCode", 0}, {"problemCode", 0}}));
  EXPECT_EQ(toJson(status(State::printing, Problem::coverOpen, std::nullopt, 4, 2, 0x21)),
            Json::Value(Json::Object{{"state", "printing"},
                                     {"problem", "coverOpen"},
                                     {"tapeCode", 4},
                                     {"stateCode", 2},
                                     {"problemCode", 33}}));
  EXPECT_EQ(Json::write(toJson(status(State::ready, std::nullopt, 18, 4, 5, 0))),
            R"({"problemCode":0,"state":"ready","stateCode":5,"tapeCode":4,"tapeMm":18})");
}

TEST(PrinterStatusTest, JsonRoundTrip) {
  const PrinterStatus statuses[] = {
      status(State::ready, std::nullopt, std::nullopt, 1, 0, 0),
      status(State::ready, std::nullopt, 24, 5, 5, 0),
      status(State::printing, Problem::noCassette, std::nullopt, 255, 2, 6),
      status(State::unknown, Problem::unknown, std::nullopt, 0, 255, 255),
  };
  for (const PrinterStatus& s : statuses) {
    EXPECT_EQ(printerStatusFromJson(toJson(s)), s) << testing::PrintToString(s);
    const std::optional<std::string> written = Json::write(toJson(s));
    ASSERT_TRUE(written);
    const std::optional<Json::Value> read = Json::parse(*written);
    ASSERT_TRUE(read) << *written;
    EXPECT_EQ(printerStatusFromJson(*read), s) << *written;
  }
}

TEST(PrinterStatusTest, FromJson) {
  const auto parse = [](const std::string& json) {
    const std::optional<Json::Value> v = Json::parse(json);
    EXPECT_TRUE(v) << json;
    return v ? printerStatusFromJson(*v) : std::nullopt;
  };
  const std::string codes = R"("tapeCode":4,"stateCode":2,"problemCode":0)";
  const PrinterStatus printing = status(State::printing, std::nullopt, std::nullopt, 4, 2, 0);

  struct Case {
    std::string json;
    std::optional<PrinterStatus> expected;
  };
  const Case cases[] = {
      {R"({"state":"printing",)" + codes + "}", printing},
      {R"({"state":"printing","problem":null,"tapeMm":null,)" + codes + "}", printing},
      {R"({"state":"printing","tapeMm":18,"extra":[1],)" + codes + "}",
       status(State::printing, std::nullopt, 18, 4, 2, 0)},
      {R"({"state":"printing","tapeMm":18.0,"problem":"noCassette",)" + codes + "}",
       status(State::printing, Problem::noCassette, 18, 4, 2, 0)},
      {R"({"state":"ready","tapeCode":255,"stateCode":0,"problemCode":1e0})",
       status(State::ready, std::nullopt, std::nullopt, 255, 0, 1)},
      // Missing or mistyped required keys, unknown texts, codes out of range.
      {R"({)" + codes + "}", std::nullopt},
      {R"({"state":null,)" + codes + "}", std::nullopt},
      {R"({"state":"idle",)" + codes + "}", std::nullopt},
      {R"({"state":0,)" + codes + "}", std::nullopt},
      {R"({"state":"ready","problem":"jam",)" + codes + "}", std::nullopt},
      {R"({"state":"ready","problem":true,)" + codes + "}", std::nullopt},
      {R"({"state":"ready","tapeMm":"18",)" + codes + "}", std::nullopt},
      {R"({"state":"ready","tapeMm":18.5,)" + codes + "}", std::nullopt},
      {R"({"state":"ready","tapeMm":4294967296,)" + codes + "}", std::nullopt},
      {R"({"state":"ready","stateCode":2,"problemCode":0})", std::nullopt},
      {R"({"state":"ready","tapeCode":256,"stateCode":2,"problemCode":0})", std::nullopt},
      {R"({"state":"ready","tapeCode":4,"stateCode":-1,"problemCode":0})", std::nullopt},
      {R"({"state":"ready","tapeCode":4,"stateCode":2,"problemCode":"0"})", std::nullopt},
      {R"({"state":"ready","tapeCode":4,"stateCode":2,"problemCode":null})", std::nullopt},
      {R"({"state":"ready","tapeCode":4,"stateCode":2.5,"problemCode":0})", std::nullopt},
      {R"(["ready"])", std::nullopt},
      {R"(null)", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.json), c.expected) << c.json;
}

TEST(PrinterStatusTest, PrintsReadably) {
  EXPECT_EQ(
      testing::PrintToString(status(State::ready, Problem::coverOpen, std::nullopt, 4, 0, 33)),
      "{state ready, problem coverOpen, tapeMm none, tapeCode 4, stateCode 0, problemCode 33}");
}

}  // namespace
}  // namespace PrinterKit
