#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QCoroTask>
#include <QObject>
#include <QThreadPool>

#include "PrinterKit/BluetoothStack.h"
#include "PrinterKit/PrinterTransport.h"

namespace PrinterKit {

// The byte channel to one paired printer over Bluetooth's serial port profile: finds the device
// by its address, connects to its serial-port service, sends in chunks of the channel's size (one
// chunk in flight at a time, each reported only once its bytes have left the computer), hands
// received bytes upward and reports when the link goes away by itself. Keeps every guarantee of
// PrinterTransport. No retries: each failure goes to the caller at once.
//
// Threads: the main thread only; the blocking device lookups run on the context's lookup thread
// and hand their results back to the main thread.
class BluetoothTransport final : public PrinterTransport {
 public:
  // The state shared by every transport over one stack: the devices found before and the serial
  // queue of blocking lookups. Main thread only, apart from the queue's jobs.
  class Context {
   public:
    // The time limits, in seconds.
    static constexpr double defaultLookupTimeout = 10.0;
    static constexpr double defaultConnectTimeout = 10.0;
    static constexpr double defaultWriteTimeout = 15.0;

    // REQUIRES: `stack` outlives the context.
    explicit Context(BluetoothStack& stack);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // The context over BluetoothStack::standard(), kept for the whole process.
    static Context& standard();

    BluetoothStack& stack() { return stack_; }
    // The address as the cache knows it: upper case, every ':' replaced by '-'.
    static std::string normalized(const std::string& address);
    // The device cached for the address, if any.
    std::optional<BluetoothStack::Device> known(const std::string& address) const;

    // The longest a device lookup, a connection and one chunk of a write are waited for. Each
    // may be changed at any time and is read when needed.
    double lookupTimeout = defaultLookupTimeout;
    double connectTimeout = defaultConnectTimeout;
    double writeTimeout = defaultWriteTimeout;

   private:
    friend class BluetoothTransport;

    BluetoothStack& stack_;
    // Entries are added, never removed.
    std::map<std::string, BluetoothStack::Device> known_;
    // Receives the lookups' results on the main thread; gone with the context.
    QObject receiver_;
    // Declared last, so that it is destroyed first: its destructor waits for a running job,
    // whose result then still finds receiver_.
    QThreadPool lookups_;
  };

  // A paired printer: its name (its address when it has none) and its address as the stack
  // writes it.
  struct Paired {
    std::string name;
    std::string address;
    bool operator==(const Paired&) const = default;
  };

  // Nothing is contacted.
  explicit BluetoothTransport(std::string address, Context& context = Context::standard());
  ~BluetoothTransport() override;
  BluetoothTransport(const BluetoothTransport&) = delete;
  BluetoothTransport& operator=(const BluetoothTransport&) = delete;

  const std::string& address() const { return address_; }

  bool isOpen() const override;
  // Throws bluetoothNotReady (the lookup failed or took longer than lookupTimeout), notPaired
  // with the address as given, unreachable (no connection within connectTimeout, or the device
  // did not answer), noSerialPort or openFailed(status).
  QCoro::Task<void> open() override;
  // Throws connectionLost (no open channel, or it closed under the write) or writeFailed(status)
  // (a chunk failed, kIOReturnTimeout after writeTimeout, while the channel stays open). Bytes of
  // earlier chunks have been sent. An empty write returns at once.
  QCoro::Task<void> write(std::vector<std::uint8_t> bytes) override;
  void close() override;

  // The paired devices that declare themselves printers (major class Imaging with the Printer
  // bit), in the stack's order; devices without an address are left out, one without a name is
  // listed under its address. Each is entered in the context's cache. Never fails.
  static QCoro::Task<std::vector<Paired>> pairedPrinters(Context& context = Context::standard());

  // The class-of-device rule of pairedPrinters().
  static bool isPrinter(std::uint32_t classOfDevice);

 private:
  struct Owner;

  QCoro::Task<std::optional<BluetoothStack::Device>> device();
  void adopt(std::shared_ptr<BluetoothChannel> channel);
  void linkClosed(const BluetoothChannel* channel);

  const std::string address_;
  Context& context_;
  std::optional<BluetoothStack::Device> device_;
  std::shared_ptr<BluetoothChannel> channel_;
  // What the channels' and the stack's callbacks hold instead of the transport itself.
  const std::shared_ptr<Owner> owner_;
};

}  // namespace PrinterKit
