#include "PrinterKit/PrinterChoice.h"

#include <gtest/gtest.h>

#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QCoroTask>
#include <QCoroTimer>

#include "PrinterKit/SPPPrinterFailure.h"
#include "support/RunTask.h"

namespace PrinterKit {
namespace {

using Probe = PrinterChoice::Probe;
using TestSupport::runTask;

TEST(PrinterChoiceTest, ProbeOfAnOutcome) {
  const PrinterStatus coverOpen{
      PrinterStatus::State::unknown, PrinterStatus::Problem::coverOpen, std::nullopt, 0, 3, 0x21};
  EXPECT_EQ(PrinterChoice::probe(coverOpen), Probe::tepraPro);

  const struct {
    std::exception_ptr error;
    Probe expected;
  } cases[] = {
      {std::make_exception_ptr(SPPPrinterFailure::notATepraPro()), Probe::other},
      {std::make_exception_ptr(SPPPrinterFailure::noReply()), Probe::silent},
      {std::make_exception_ptr(SPPPrinterFailure::unreachable()), Probe::silent},
      {std::make_exception_ptr(SPPPrinterFailure::notPaired("fc-0f-e7-00-00-01")), Probe::silent},
      {std::make_exception_ptr(SPPPrinterFailure::bluetoothNotReady()), Probe::silent},
      {std::make_exception_ptr(std::runtime_error("not a printer failure")), Probe::silent},
      {std::make_exception_ptr(42), Probe::silent},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PrinterChoice::probe(c.error), c.expected) << [&] {
      try {
        std::rethrow_exception(c.error);
      } catch (const std::exception& e) {
        return std::string(e.what());
      } catch (...) {
        return std::string("non-exception");
      }
    }();
  }
}

TEST(PrinterChoiceTest, PicksTheFirstTepraProElseTheFirstSilentElseTheFirst) {
  const std::map<std::string, Probe> outcomes = {
      {"A-other", Probe::other},   {"B-tepra", Probe::tepraPro}, {"C-tepra", Probe::tepraPro},
      {"D-silent", Probe::silent}, {"E-silent", Probe::silent},  {"F-other", Probe::other},
  };
  const struct {
    std::vector<std::string> candidates;
    std::optional<std::string> chosen;
    std::vector<std::string> probed;
  } cases[] = {
      {{}, std::nullopt, {}},
      {{"A-other", "B-tepra", "C-tepra"}, "B-tepra", {"A-other", "B-tepra"}},
      {{"B-tepra", "D-silent"}, "B-tepra", {"B-tepra"}},
      {{"D-silent", "E-silent"}, "D-silent", {"D-silent", "E-silent"}},
      {{"D-silent", "B-tepra"}, "B-tepra", {"D-silent", "B-tepra"}},
      {{"A-other", "D-silent"}, "D-silent", {"A-other", "D-silent"}},
      {{"A-other", "F-other"}, "A-other", {"A-other", "F-other"}},
      {{"F-other", "D-silent", "E-silent", "C-tepra"},
       "C-tepra",
       {"F-other", "D-silent", "E-silent", "C-tepra"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> probed;
    int running = 0;
    bool overlapped = false;
    auto probe = [&](std::string address) -> QCoro::Task<Probe> {
      probed.push_back(address);
      overlapped = overlapped || running > 0;
      ++running;
      co_await QCoro::sleepFor(std::chrono::milliseconds(1));
      --running;
      co_return outcomes.at(address);
    };
    EXPECT_EQ(runTask(PrinterChoice::pick(c.candidates, probe)),
              std::optional<std::optional<std::string>>(c.chosen))
        << "candidates starting with " << (c.candidates.empty() ? "none" : c.candidates[0]);
    EXPECT_EQ(probed, c.probed);
    EXPECT_FALSE(overlapped);
  }
}

}  // namespace
}  // namespace PrinterKit
