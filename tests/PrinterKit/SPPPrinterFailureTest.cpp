#include "PrinterKit/SPPPrinterFailure.h"

#include <gtest/gtest.h>

#include <vector>

namespace PrinterKit {
namespace {

using F = SPPPrinterFailure;

TEST(SPPPrinterFailureTest, DescribesEveryCase) {
  const PrinterStatus printing{PrinterStatus::State::printing, std::nullopt, 18, 4, 2, 0};
  const struct {
    F failure;
    const char* description;
  } cases[] = {
      {F::notPaired("fc-0f-e7-00-00-01"), "No paired Bluetooth device fc-0f-e7-00-00-01"},
      {F::openFailed(-536870186), "Could not open the serial port (-536870186)"},
      {F::writeFailed(kIOReturnTimeout), "Could not send to the printer (-536870186)"},
      {F::writeFailed(0), "Could not send to the printer (0)"},
      {F::busy(), "The printer is busy"},
      {F::busy(printing), "The printer is busy"},
      {F::problem(PrinterStatus::Problem::coverOpen), "Printer problem: coverOpen"},
      {F::problem(PrinterStatus::Problem::noCassette), "Printer problem: noCassette"},
      {F::problem(PrinterStatus::Problem::unknown), "Printer problem: unknown"},
      {F::unknownState(255), "The printer is in an unknown state (255)"},
      {F::tapeMismatch(12, 18), "Loaded tape 12 mm, label 18 mm"},
      {F::tapeMismatch(std::nullopt, 18), "Loaded tape unknown, label 18 mm"},
      {F::unsupportedTape(36), "36 mm tape is not supported"},
      {F::unreachable(), "The printer is off or out of range"},
      {F::bluetoothNotReady(), "Bluetooth is slow to answer. Trying again\u2026"},
      {F::noSerialPort(), "The device offers no serial port (SPP)"},
      {F::noReply(), "The printer did not answer"},
      {F::notATepraPro(), "The device answered, but not as a TEPRA PRO"},
      {F::connectionLost(), "The connection to the printer was lost"},
      {F::unconfirmed(), "The printer did not confirm the job"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.failure.description(), c.description);
    EXPECT_STREQ(c.failure.what(), c.description);
  }
}

TEST(SPPPrinterFailureTest, EqualOnlyWithSameCaseAndPayload) {
  const PrinterStatus printing{PrinterStatus::State::printing, std::nullopt, 18, 4, 2, 0};
  const std::vector<F> distinct = {
      F::writeFailed(1),
      F::writeFailed(2),
      F::openFailed(1),
      F::busy(),
      F::busy(printing),
      F::tapeMismatch(12, 18),
      F::tapeMismatch(std::nullopt, 18),
      F::tapeMismatch(12, 24),
      F::notPaired("a"),
      F::notPaired("b"),
      F::noReply(),
      F::unconfirmed(),
  };
  for (std::size_t i = 0; i < distinct.size(); ++i) {
    for (std::size_t j = 0; j < distinct.size(); ++j) {
      EXPECT_EQ(distinct[i] == distinct[j], i == j) << distinct[i] << " vs " << distinct[j];
    }
  }
  EXPECT_EQ(F::writeFailed(1), F::writeFailed(1));
}

TEST(SPPPrinterFailureTest, CaughtAsThrown) {
  try {
    throw F::tapeMismatch(9, 12);
  } catch (const F& failure) {
    ASSERT_NE(failure.as<F::TapeMismatch>(), nullptr);
    EXPECT_EQ(failure.as<F::TapeMismatch>()->loaded, 9);
    EXPECT_EQ(failure.as<F::NoReply>(), nullptr);
  }
}

}  // namespace
}  // namespace PrinterKit
