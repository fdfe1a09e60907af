#include "PrinterKit/TepraPro.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace PrinterKit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::vector<bool>>;

// "1B 7B 02" -> {0x1B, 0x7B, 0x02}.
Bytes hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Lines randomLines(std::size_t count, std::size_t length, std::mt19937& rng) {
  Lines lines(count, std::vector<bool>(length));
  for (auto& line : lines) {
    for (std::size_t j = 0; j < length; ++j) line[j] = (rng() & 1) != 0;
  }
  return lines;
}

// The page written out dot by dot, straight from the encoding rules.
Bytes referencePage(const Lines& lines, int dots) {
  const std::size_t l = lines.size();
  const std::size_t w = (static_cast<std::size_t>(dots) + 7) / 8;
  Bytes out =
      concat({TepraPro::command(0x4C, l % 256, l / 256, 0, 0), TepraPro::command(0x54, 0, 0)});
  for (const auto& line : lines) {
    Bytes raster = {0x1B,
                    0x2E,
                    0,
                    0,
                    0,
                    1,
                    static_cast<std::uint8_t>(dots % 256),
                    static_cast<std::uint8_t>(dots / 256)};
    Bytes row(w, 0);
    for (std::size_t j = 0; j < line.size() && j < static_cast<std::size_t>(dots); ++j) {
      if (line[j]) row[j / 8] = static_cast<std::uint8_t>(row[j / 8] | (1u << (7 - j % 8)));
    }
    out.insert(out.end(), raster.begin(), raster.end());
    out.insert(out.end(), row.begin(), row.end());
  }
  out.push_back(0x0C);
  return out;
}

const Bytes setupBytes = hex(
    "1B 7B 05 49 00 00 49 7D  1B 7B 03 21 21 7D  00 00  1B 7B 05 49 05 00 4E 7D  1B 7B 03 40 40 7D"
    "  1B 7B 07 7B 00 00 53 54 22 7D  1B 7B 07 43 01 01 01 01 47 7D  1B 7B 04 44 05 49 7D"
    "  1B 7B 03 47 47 7D  1B 7B 05 49 05 00 4E 7D");
const Bytes endBytes = hex("1B 7B 03 40 40 7D  1B 7B 05 49 00 00 49 7D");

TEST(TepraProTest, Tables) {
  EXPECT_EQ(TepraPro::dotsByTape, (std::map<int, int>{{9, 108}, {12, 144}, {18, 216}, {24, 256}}));
  EXPECT_EQ(TepraPro::tapeByCode, (std::map<std::uint8_t, int>{{2, 9}, {3, 12}, {4, 18}, {5, 24}}));
  EXPECT_EQ(TepraPro::statusRequest, hex("1B 7B 05 49 00 00 49 7D"));
  EXPECT_EQ(TepraPro::maxLabels, 50);
  EXPECT_EQ(TepraPro::maxLabelLines, 2835);
  EXPECT_EQ(TepraPro::dpi, 360.0);
}

TEST(TepraProTest, Command) {
  struct Case {
    Bytes payload;
    Bytes expected;
  };
  const Case cases[] = {
      {{}, hex("1B 7B 02 00 7D")},
      {{0x40}, hex("1B 7B 03 40 40 7D")},
      {{0x49, 0x00, 0x00}, TepraPro::statusRequest},
      {{0x7B, 0x00, 0x00, 0x53, 0x54}, hex("1B 7B 07 7B 00 00 53 54 22 7D")},  // 0x122 wraps
      {{0xFF, 0xFF}, hex("1B 7B 04 FF FF FE 7D")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TepraPro::command(c.payload), c.expected) << testing::PrintToString(c.payload);
  }
  EXPECT_EQ(TepraPro::command(), hex("1B 7B 02 00 7D"));
  EXPECT_EQ(TepraPro::command(0x7B, 0x00, 0x00, 0x53, 0x54), cases[3].expected);
  EXPECT_EQ(TepraPro::command(std::uint8_t{0xFF}, 255u), cases[4].expected);

  // The longest payload whose length still fits the length byte.
  const Bytes longest = TepraPro::command(Bytes(253, 0x01));
  ASSERT_EQ(longest.size(), 258u);
  EXPECT_EQ(longest[2], 0xFF);
  EXPECT_EQ(longest[256], 253);
  EXPECT_EQ(longest[257], 0x7D);
}

TEST(TepraProDeathTest, CommandPreconditions) {
  EXPECT_DEATH(TepraPro::command(Bytes(254, 0)), "precondition");
  EXPECT_DEATH(TepraPro::command(0x100), "precondition");
  EXPECT_DEATH(TepraPro::command(-1), "precondition");
}

TEST(TepraProTest, EmptyJobIsSetupThenEnd) {
  ASSERT_EQ(setupBytes.size(), 71u);
  ASSERT_EQ(endBytes.size(), 14u);
  EXPECT_EQ(TepraPro::job(std::vector<RasterLabel>{}, 256), concat({setupBytes, endBytes}));
  EXPECT_EQ(TepraPro::job(std::vector<Lines>{}, 108), concat({setupBytes, endBytes}));
}

TEST(TepraProTest, WorkedPage) {
  Lines lines = {std::vector<bool>(12, true), std::vector<bool>(12, false)};
  lines[1][0] = true;
  const Bytes expected =
      hex("1B 7B 07 4C 02 00 00 00 4E 7D  1B 7B 05 54 00 00 54 7D"
          "  1B 2E 00 00 00 01 0C 00 FF F0  1B 2E 00 00 00 01 0C 00 80 00  0C");
  ASSERT_EQ(expected.size(), 39u);
  EXPECT_EQ(TepraPro::page(lines, 12), expected);
  EXPECT_EQ(TepraPro::page(RasterLabel::fromLines(lines, 12), 12), expected);
}

TEST(TepraProTest, LongPageLayout) {
  std::mt19937 rng(1);
  const Lines lines = randomLines(300, 256, rng);
  const RasterLabel label = RasterLabel::fromLines(lines, 256);
  const Bytes page = TepraPro::page(label, 256);
  ASSERT_EQ(page.size(), 12019u);
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 10), hex("1B 7B 07 4C 2C 01 00 00 79 7D"));
  EXPECT_EQ(Bytes(page.begin() + 10, page.begin() + 18), hex("1B 7B 05 54 00 00 54 7D"));
  for (std::size_t i = 0; i < 300; ++i) {
    const auto at = page.begin() + 18 + static_cast<std::ptrdiff_t>(i * 40);
    ASSERT_EQ(Bytes(at, at + 8), hex("1B 2E 00 00 00 01 00 01")) << "line " << i;
    ASSERT_EQ(Bytes(at + 8, at + 40), Bytes(label.line(i).begin(), label.line(i).end()));
  }
  EXPECT_EQ(page.back(), 0x0C);
  EXPECT_EQ(page, referencePage(lines, 256));
}

TEST(TepraProTest, LastByteAt108Dots) {
  struct Case {
    std::vector<int> ink;
    std::uint8_t lastByte;
  };
  const Case cases[] = {
      {{104}, 0x80}, {{107}, 0x10}, {{104, 105, 106, 107}, 0xF0}, {{103}, 0x00}, {{}, 0x00}};
  for (const Case& c : cases) {
    std::vector<bool> line(120, false);  // entries past 108 are ignored
    for (int j : c.ink) line[static_cast<std::size_t>(j)] = true;
    for (std::size_t j = 108; j < 120; ++j) line[j] = true;
    const Bytes page = TepraPro::page(Lines{line}, 108);
    ASSERT_EQ(page.size(), 18u + 8 + 14 + 1);
    EXPECT_EQ(page[18 + 6], 108);
    EXPECT_EQ(page[18 + 7], 0);
    EXPECT_EQ(page[18 + 8 + 13], c.lastByte) << testing::PrintToString(c.ink);
  }
}

// Lines longer or shorter than the tape, in both forms: Boolean lines of any length, and packed
// labels made for another width.
TEST(TepraProTest, LinesAreCutOrPaddedToDots) {
  std::mt19937 rng(7);
  struct Case {
    std::size_t lineLength;
    int dots;
  };
  const Case cases[] = {{256, 108}, {108, 256}, {13, 12}, {12, 13}, {9, 16},   {17, 8},
                        {0, 24},    {24, 0},    {1, 1},   {7, 9},   {108, 108}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.lineLength << " entries at " << c.dots << " dots");
    const Lines lines = randomLines(5, c.lineLength, rng);
    const Bytes expected = referencePage(lines, c.dots);
    EXPECT_EQ(TepraPro::page(lines, c.dots), expected);
    const RasterLabel label = RasterLabel::fromLines(lines, static_cast<int>(c.lineLength));
    EXPECT_EQ(TepraPro::page(label, c.dots), expected);
  }

  // A longer line's ink past `dots` never shows; a shorter one's missing dots are blank.
  EXPECT_EQ(TepraPro::page(Lines{std::vector<bool>(16, true)}, 12),
            TepraPro::page(Lines{std::vector<bool>(12, true)}, 12));
  EXPECT_EQ(TepraPro::page(Lines{{true}}, 12), TepraPro::page(Lines{{true, false, false}}, 12));
}

TEST(TepraProTest, JobOfOneShortLabel) {
  const Lines lines = {std::vector<bool>(108, true), {}, {false, true}};
  const Bytes job = TepraPro::job(std::vector<Lines>{lines}, 108);
  ASSERT_EQ(job.size(), 170u);
  EXPECT_EQ(job, concat({setupBytes, referencePage(lines, 108), endBytes}));
}

TEST(TepraProTest, JobPacksLabelsInOrderInBothForms) {
  std::mt19937 rng(3);
  const std::vector<Lines> labels = {randomLines(40, 216, rng), randomLines(0, 216, rng),
                                     randomLines(3, 300, rng), randomLines(7, 100, rng)};
  std::vector<RasterLabel> packed;
  for (const Lines& l : labels) packed.push_back(RasterLabel::fromLines(l, 216));
  const Bytes expected =
      concat({setupBytes, referencePage(labels[0], 216), referencePage(labels[1], 216),
              referencePage(labels[2], 216), referencePage(labels[3], 216), endBytes});
  EXPECT_EQ(TepraPro::job(labels, 216), expected);
  EXPECT_EQ(TepraPro::job(packed, 216), expected);

  // Labels packed at their own widths give the same job.
  std::vector<RasterLabel> ownWidths;
  for (const Lines& l : labels) {
    ownWidths.push_back(RasterLabel::fromLines(l, l.empty() ? 0 : static_cast<int>(l[0].size())));
  }
  EXPECT_EQ(TepraPro::job(ownWidths, 216), expected);
}

TEST(TepraProTest, AppendPageKeepsWhatIsThere) {
  const Lines lines = {{true, true}, {false, true}};
  Bytes out = {0xAA, 0xBB};
  TepraPro::appendPage(out, RasterLabel::fromLines(lines, 144), 144);
  TepraPro::appendPage(out, RasterLabel::fromLines(lines, 144), 144);
  const Bytes page = referencePage(lines, 144);
  EXPECT_EQ(out, concat({{0xAA, 0xBB}, page, page}));
}

TEST(TepraProDeathTest, PagePreconditions) {
  EXPECT_DEATH(TepraPro::page(Lines(65536), 8), "precondition");
  EXPECT_DEATH(TepraPro::page(RasterLabel(8), 65536), "precondition");
  EXPECT_DEATH(TepraPro::page(RasterLabel(8), -1), "precondition");
}

}  // namespace
}  // namespace PrinterKit
