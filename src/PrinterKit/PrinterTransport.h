#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QCoroTask>

namespace PrinterKit {

// The byte channel under the print engine. Implementations (Bluetooth, the in-process printer
// simulator, a socket) are owned by one engine and used on the main thread only.
//
// Guarantees every implementation keeps:
// - open() returns normally only when the channel is open and isOpen() is true; otherwise it
//   throws an SPPPrinterFailure (notPaired, openFailed, unreachable, bluetoothNotReady,
//   noSerialPort). It returns at once when the channel is already open.
// - write() returns normally only after every byte has been reported as written; otherwise it
//   throws SPPPrinterFailure writeFailed(status) or connectionLost.
// - onData is called on the main thread, once per arriving chunk, with a copy of the bytes, only
//   for bytes of the transport's own current channel.
// - onClosed is called on the main thread when the open channel goes away by itself, after the
//   waiters of pending writes have been resumed with a failure; never after close().
// - close() closes the channel and the connection; no onClosed follows.
class PrinterTransport {
 public:
  virtual ~PrinterTransport() = default;

  virtual bool isOpen() const = 0;
  virtual QCoro::Task<void> open() = 0;
  virtual QCoro::Task<void> write(std::vector<std::uint8_t> bytes) = 0;
  virtual void close() = 0;

  std::function<void(std::vector<std::uint8_t>)> onData;
  std::function<void()> onClosed;
};

}  // namespace PrinterKit
