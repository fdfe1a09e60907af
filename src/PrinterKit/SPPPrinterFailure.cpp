#include "PrinterKit/SPPPrinterFailure.h"

#include <string>
#include <utility>

namespace PrinterKit {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string describe(const SPPPrinterFailure::Case& value) {
  using F = SPPPrinterFailure;
  return std::visit(
      Overloaded{
          [](const F::NotPaired& c) { return "No paired Bluetooth device " + c.address; },
          [](const F::OpenFailed& c) {
            return "Could not open the serial port (" + std::to_string(c.status) + ")";
          },
          [](const F::WriteFailed& c) {
            return "Could not send to the printer (" + std::to_string(c.status) + ")";
          },
          [](const F::Busy&) { return std::string("The printer is busy"); },
          [](const F::Problem& c) { return "Printer problem: " + std::string(text(c.problem)); },
          [](const F::UnknownState& c) {
            return "The printer is in an unknown state (" + std::to_string(c.stateCode) + ")";
          },
          [](const F::TapeMismatch& c) {
            const std::string wanted = ", label " + std::to_string(c.wanted) + " mm";
            return c.loaded ? "Loaded tape " + std::to_string(*c.loaded) + " mm" + wanted
                            : "Loaded tape unknown" + wanted;
          },
          [](const F::UnsupportedTape& c) {
            return std::to_string(c.mm) + " mm tape is not supported";
          },
          [](const F::Unreachable&) { return std::string("The printer is off or out of range"); },
          [](const F::BluetoothNotReady&) {
            return std::string("Bluetooth is slow to answer. Trying again\u2026");
          },
          [](const F::NoSerialPort&) {
            return std::string("The device offers no serial port (SPP)");
          },
          [](const F::NoReply&) { return std::string("The printer did not answer"); },
          [](const F::NotATepraPro&) {
            return std::string("The device answered, but not as a TEPRA PRO");
          },
          [](const F::ConnectionLost&) {
            return std::string("The connection to the printer was lost");
          },
          [](const F::Unconfirmed&) { return std::string("The printer did not confirm the job"); },
      },
      value);
}

}  // namespace

SPPPrinterFailure::SPPPrinterFailure(Case value)
    : value_(std::move(value)), description_(describe(value_)) {}

std::ostream& operator<<(std::ostream& os, const SPPPrinterFailure& failure) {
  return os << "SPPPrinterFailure(" << failure.value().index() << ": " << failure.description()
            << ")";
}

}  // namespace PrinterKit
