#include "PrinterSimulator/JobParser.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "PrinterKit/TepraPro.h"
#include "PrinterSimulator/SampleLabels.h"

namespace PrinterSimulator {
namespace {

using Bytes = std::vector<std::uint8_t>;
using PrinterKit::TepraPro;
using Event = JobParser::Event;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::size_t errorCount(const std::vector<Event>& events) {
  std::size_t n = 0;
  for (const Event& e : events) n += std::holds_alternative<JobParser::Error>(e) ? 1 : 0;
  return n;
}

// Two jobs with a lone status request between them: every kind of item the parser reads.
struct Stream {
  std::vector<PrinterKit::RasterLabel> first = sampleLabels(108, {3, 1});
  std::vector<PrinterKit::RasterLabel> second = sampleLabels(108, {2});
  Bytes bytes = TepraPro::job(first, 108) + TepraPro::statusRequest + TepraPro::job(second, 108);
  std::vector<Event> expected = {JobParser::StatusRequest{}, JobParser::Job{first},
                                 JobParser::StatusRequest{}, JobParser::StatusRequest{},
                                 JobParser::StatusRequest{}, JobParser::Job{second},
                                 JobParser::StatusRequest{}};
};

TEST(JobParserTest, ReadsJobsAndStatusRequestsCutAnywhere) {
  const Stream s;
  {
    JobParser parser;
    EXPECT_EQ(parser.feed(s.bytes, 108), s.expected);
  }
  for (std::size_t cut = 0; cut <= s.bytes.size(); ++cut) {
    JobParser parser;
    std::vector<Event> events = parser.feed(std::span(s.bytes).first(cut), 108);
    for (Event& e : parser.feed(std::span(s.bytes).subspan(cut), 108)) events.push_back(e);
    ASSERT_EQ(events, s.expected) << "cut at " << cut;
  }
  JobParser parser;
  std::vector<Event> events;
  for (std::uint8_t b : s.bytes) {
    for (Event& e : parser.feed(std::span(&b, 1), 108)) events.push_back(e);
  }
  EXPECT_EQ(events, s.expected);
}

TEST(JobParserTest, IgnoresTheBitsPastTheLastDot) {
  const auto labels = sampleLabels(108, {2});
  Bytes job = TepraPro::job(labels, 108);
  job[71 + 18 + 8 + 13] |= 0x0F;  // the last byte of the first line: dots 104 to 107, then padding
  JobParser parser;
  const std::vector<Event> events = parser.feed(job, 108);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1], Event(JobParser::Job{labels}));
}

TEST(JobParserTest, ResyncsAtTheNextStatusRequestAfterNoise) {
  JobParser parser;
  const Bytes noise = {0x00, 0x1B, 0x1B, 0x7B, 0x01, 0x41, 0x0C};
  const std::vector<Event> events = parser.feed(noise + TepraPro::statusRequest, 108);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(errorCount(events), 1u);
  EXPECT_EQ(events[1], Event(JobParser::StatusRequest{}));
}

TEST(JobParserTest, ResetCutsOffOnlyAnUnfinishedJob) {
  const Bytes job = TepraPro::job(sampleLabels(108, {2}), 108);
  const struct {
    std::size_t sent;
    std::size_t errors;
  } cases[] = {
      {0, 0},               // nothing received
      {8, 0},               // a status request alone is no job
      {14, 1},              // setup under way
      {100, 1},             // inside a page
      {job.size() - 8, 1},  // everything but the closing status request
      {job.size(), 0},      // the whole job
  };
  for (const auto& c : cases) {
    JobParser parser;
    parser.feed(std::span(job).first(c.sent), 108);
    EXPECT_EQ(errorCount(parser.reset()), c.errors) << "after " << c.sent << " bytes";
    EXPECT_FALSE(parser.inJob());
  }
}

}  // namespace
}  // namespace PrinterSimulator
