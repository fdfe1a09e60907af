#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <string>
#include <variant>

#include "PrinterKit/PrinterStatus.h"

namespace PrinterKit {

// The printer driver's one error type: thrown by the transport and the print engine, mapped to
// API error codes by the bridge and shown to the user by the application. The print engine
// exposes it as `SPPPrinter::Failure`.
//
// Values compare equal case by case and payload by payload. description() is the user-visible
// English text, which is also the lookup key for translations.
class SPPPrinterFailure : public std::exception {
 public:
  struct NotPaired {
    std::string address;
    bool operator==(const NotPaired&) const = default;
  };
  struct OpenFailed {
    std::int32_t status;
    bool operator==(const OpenFailed&) const = default;
  };
  struct WriteFailed {
    std::int32_t status;
    bool operator==(const WriteFailed&) const = default;
  };
  struct Busy {
    std::optional<PrinterStatus> status;
    bool operator==(const Busy&) const = default;
  };
  struct Problem {
    PrinterStatus::Problem problem;
    bool operator==(const Problem&) const = default;
  };
  struct UnknownState {
    std::uint8_t stateCode;
    bool operator==(const UnknownState&) const = default;
  };
  struct TapeMismatch {
    std::optional<int> loaded;
    int wanted;
    bool operator==(const TapeMismatch&) const = default;
  };
  struct UnsupportedTape {
    int mm;
    bool operator==(const UnsupportedTape&) const = default;
  };
  struct Unreachable {
    bool operator==(const Unreachable&) const = default;
  };
  struct BluetoothNotReady {
    bool operator==(const BluetoothNotReady&) const = default;
  };
  struct NoSerialPort {
    bool operator==(const NoSerialPort&) const = default;
  };
  struct NoReply {
    bool operator==(const NoReply&) const = default;
  };
  struct NotATepraPro {
    bool operator==(const NotATepraPro&) const = default;
  };
  struct ConnectionLost {
    bool operator==(const ConnectionLost&) const = default;
  };
  struct Unconfirmed {
    bool operator==(const Unconfirmed&) const = default;
  };

  // The cases in declaration order.
  using Case = std::variant<NotPaired, OpenFailed, WriteFailed, Busy, Problem, UnknownState,
                            TapeMismatch, UnsupportedTape, Unreachable, BluetoothNotReady,
                            NoSerialPort, NoReply, NotATepraPro, ConnectionLost, Unconfirmed>;

  static SPPPrinterFailure notPaired(std::string address) {
    return {NotPaired{std::move(address)}};
  }
  static SPPPrinterFailure openFailed(std::int32_t status) { return {OpenFailed{status}}; }
  static SPPPrinterFailure writeFailed(std::int32_t status) { return {WriteFailed{status}}; }
  static SPPPrinterFailure busy(std::optional<PrinterStatus> status = std::nullopt) {
    return {Busy{status}};
  }
  static SPPPrinterFailure problem(PrinterStatus::Problem p) { return {Problem{p}}; }
  static SPPPrinterFailure unknownState(std::uint8_t code) { return {UnknownState{code}}; }
  static SPPPrinterFailure tapeMismatch(std::optional<int> loaded, int wanted) {
    return {TapeMismatch{loaded, wanted}};
  }
  static SPPPrinterFailure unsupportedTape(int mm) { return {UnsupportedTape{mm}}; }
  static SPPPrinterFailure unreachable() { return {Unreachable{}}; }
  static SPPPrinterFailure bluetoothNotReady() { return {BluetoothNotReady{}}; }
  static SPPPrinterFailure noSerialPort() { return {NoSerialPort{}}; }
  static SPPPrinterFailure noReply() { return {NoReply{}}; }
  static SPPPrinterFailure notATepraPro() { return {NotATepraPro{}}; }
  static SPPPrinterFailure connectionLost() { return {ConnectionLost{}}; }
  static SPPPrinterFailure unconfirmed() { return {Unconfirmed{}}; }

  SPPPrinterFailure(Case value);

  const Case& value() const { return value_; }
  // The payload when this failure is of case C, nullptr otherwise.
  template <class C>
  const C* as() const {
    return std::get_if<C>(&value_);
  }

  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

  bool operator==(const SPPPrinterFailure& other) const { return value_ == other.value_; }

 private:
  Case value_;
  std::string description_;
};

// Status codes the transport reports inside openFailed and writeFailed.
inline constexpr std::int32_t kIOReturnTimeout = -536870186;
inline constexpr std::int32_t kIOReturnNotOpen = -536870195;

std::ostream& operator<<(std::ostream& os, const SPPPrinterFailure& failure);

}  // namespace PrinterKit
