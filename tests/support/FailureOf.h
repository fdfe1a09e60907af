#pragma once

#include <optional>
#include <utility>

#include <QCoroTask>

#include "PrinterKit/SPPPrinterFailure.h"
#include "support/RunTask.h"

namespace TestSupport {

// Runs `task` to its end and gives the printer failure it threw; nothing when it succeeded (or
// did not finish, which runTask reports as a test failure).
template <class T>
std::optional<PrinterKit::SPPPrinterFailure> failureOf(QCoro::Task<T> task) {
  try {
    runTask(std::move(task));
  } catch (const PrinterKit::SPPPrinterFailure& failure) {
    return failure;
  }
  return std::nullopt;
}

}  // namespace TestSupport
