#include "PrinterKit/RasterLabel.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace PrinterKit {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Lines = std::vector<std::vector<bool>>;

std::vector<bool> inkAt(std::size_t length, std::initializer_list<std::size_t> ink) {
  std::vector<bool> line(length, false);
  for (std::size_t j : ink) line[j] = true;
  return line;
}

TEST(RasterLabelTest, FromLinesPacksMostSignificantBitFirst) {
  struct Case {
    std::vector<bool> line;
    int dots;
    Bytes bytes;
  };
  const Case cases[] = {
      {std::vector<bool>(12, true), 12, {0xFF, 0xF0}},
      {inkAt(12, {0}), 12, {0x80, 0x00}},
      {inkAt(9, {8}), 9, {0x00, 0x80}},
      {inkAt(16, {7, 8, 15}), 16, {0x01, 0x81}},
      {inkAt(8, {1, 3, 5}), 8, {0x54}},
      // Entries past `dots` are dropped, also inside the last byte.
      {std::vector<bool>(16, true), 10, {0xFF, 0xC0}},
      {inkAt(40, {12, 39}), 12, {0x00, 0x00}},
      // A shorter line leaves the rest blank.
      {{true, false, true}, 20, {0xA0, 0x00, 0x00}},
      {{}, 8, {0x00}},
  };
  for (const Case& c : cases) {
    const RasterLabel label = RasterLabel::fromLines(Lines{c.line}, c.dots);
    ASSERT_EQ(label.lineCount(), 1u);
    EXPECT_EQ(label.bytesPerLine(), c.bytes.size());
    const auto line = label.line(0);
    EXPECT_EQ(Bytes(line.begin(), line.end()), c.bytes)
        << testing::PrintToString(c.line) << " at " << c.dots;
  }
}

TEST(RasterLabelTest, DotsRoundTrip) {
  std::mt19937 rng(5);
  for (int dots : {1, 7, 8, 9, 108, 256}) {
    Lines lines(6, std::vector<bool>(static_cast<std::size_t>(dots)));
    for (auto& line : lines) {
      for (std::size_t j = 0; j < line.size(); ++j) line[j] = (rng() & 1) != 0;
    }
    const RasterLabel label = RasterLabel::fromLines(lines, dots);
    ASSERT_EQ(label.lineCount(), lines.size());
    EXPECT_EQ(label.bytes().size(), lines.size() * label.bytesPerLine());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(label.lineDots(i), lines[i]) << "line " << i << " at " << dots;
      for (int j = 0; j < dots; ++j) {
        ASSERT_EQ(label.dot(i, j), lines[i][static_cast<std::size_t>(j)]);
      }
    }
    // The lines read back convert to the same label.
    Lines back;
    for (std::size_t i = 0; i < label.lineCount(); ++i) back.push_back(label.lineDots(i));
    EXPECT_EQ(RasterLabel::fromLines(back, dots), label);
  }
}

TEST(RasterLabelTest, ZeroDotsStillCountsLines) {
  const RasterLabel label = RasterLabel::fromLines(Lines{{true, true}, {}, {false}}, 0);
  EXPECT_EQ(label.dots(), 0);
  EXPECT_EQ(label.bytesPerLine(), 0u);
  EXPECT_EQ(label.lineCount(), 3u);
  EXPECT_TRUE(label.bytes().empty());
  EXPECT_TRUE(label.line(2).empty());
  EXPECT_TRUE(label.lineDots(0).empty());
  EXPECT_NE(label, RasterLabel::fromLines(Lines{{}}, 0));
  EXPECT_EQ(RasterLabel::fromLines(Lines{}, 12).lineCount(), 0u);
}

TEST(RasterLabelTest, AppendBlankLines) {
  RasterLabel label(12);
  auto first = label.appendBlankLines(2);
  ASSERT_EQ(first.size(), 4u);
  first[2] = 0x80;
  label.appendBlankLines(1);
  EXPECT_EQ(label.lineCount(), 3u);
  EXPECT_EQ(label, RasterLabel::fromLines(Lines{{}, {true}, {}}, 12));
}

TEST(RasterLabelDeathTest, Preconditions) {
  EXPECT_DEATH(RasterLabel(-1), "precondition");
  EXPECT_DEATH(RasterLabel(65536), "precondition");
  const RasterLabel label = RasterLabel::fromLines(Lines{{true}}, 8);
  EXPECT_DEATH(label.line(1), "precondition");
  EXPECT_DEATH(label.dot(0, 8), "precondition");
}

}  // namespace
}  // namespace PrinterKit
