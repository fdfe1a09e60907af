#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "PrinterKit/SPPPrinterFailure.h"

namespace PrinterKit {

// One serial-port link to a device, as the Bluetooth stack hands it over: a byte stream in both
// directions that either side may end.
//
// Threads: the main thread, except that the object may be destroyed on any thread once nobody
// uses it. Implementations keep themselves alive until they have reported their closure.
class BluetoothChannel {
 public:
  using Bytes = std::vector<std::uint8_t>;

  virtual ~BluetoothChannel() = default;

  // Installs the callbacks and starts receiving: `data` gets every chunk that arrives, in order;
  // `closed` is called once when the link has gone, whoever ended it, after every pending write
  // has been completed with kIOReturnNotOpen. Nothing is received before start().
  // REQUIRES: called once.
  virtual void start(std::function<void(Bytes)> data, std::function<void()> closed) = 0;
  // The link is up: neither side has ended it.
  virtual bool isOpen() const = 0;
  // The most bytes one write() may carry.
  virtual std::size_t mtu() const = 0;
  // Queues `bytes` for sending and returns 0; `done` is called later, on the main thread and
  // exactly once, with 0 when every byte has left this computer (not merely been queued in it),
  // or with a non-zero status: kIOReturnNotOpen when the link closed first. Returns a non-zero
  // status instead, and never calls `done`, when the write cannot start. Writes complete in the
  // order they were queued; the channel holds `bytes` until it no longer reads them.
  // REQUIRES: bytes is not null and holds at most mtu() bytes.
  virtual std::int32_t write(std::shared_ptr<const Bytes> bytes,
                             std::function<void(std::int32_t)> done) = 0;
  // Ends the link for both sides, so that the device sees it go. The closure is reported later
  // through `closed`, as for any other closure.
  virtual void close() = 0;
};

// The computer's Bluetooth stack as the Bluetooth transport uses it: devices by address, the
// paired devices, and connections to a device's serial-port service. Owned by PrinterKit; the
// implementation for the platform lives in a folder of its own.
class BluetoothStack {
 public:
  // What the stack knows of one device.
  struct Device {
    std::string id;                      // the stack's own handle of the device
    std::optional<std::string> address;  // as the stack writes it
    std::optional<std::string> name;
    std::uint32_t classOfDevice = 0;  // the 24-bit Bluetooth class of device; 0 when unknown
    bool operator==(const Device&) const = default;
  };
  // What connect() yields: the open channel, or why there is none.
  using Connection = std::variant<std::shared_ptr<BluetoothChannel>, SPPPrinterFailure>;

  virtual ~BluetoothStack() = default;

  // Blocking calls, made on the transport's lookup thread, never on the main thread; they may
  // take long. REQUIRES of implementations: safe to call from a thread other than the one that
  // made the stack.
  //
  // The device with this address (written in upper or lower case, with ':' or '-'), or none.
  // Throws SPPPrinterFailure::bluetoothNotReady() when the stack cannot be asked.
  virtual std::optional<Device> device(const std::string& address) = 0;
  // The devices paired with this computer, in the stack's order; empty when it cannot be asked.
  virtual std::vector<Device> pairedDevices() = 0;

  // Main thread. Connects to the device's serial-port service and calls `done` later, on the main
  // thread and exactly once, with the channel or the failure: notPaired (the device is no longer
  // paired), unreachable, noSerialPort, bluetoothNotReady or openFailed(status). The caller may
  // have stopped waiting by then; a channel it no longer wants it closes.
  virtual void connect(const Device& device, std::function<void(Connection)> done) = 0;

  // The platform's stack, made on first use on the main thread and kept for the whole process.
  static BluetoothStack& standard();
};

}  // namespace PrinterKit
