#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QTimer>

#include "PrinterKit/BluetoothStack.h"
#include "PrinterKit/BluetoothTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"

namespace TestSupport {

// A channel driven by the test: it records every chunk, completes writes on the event loop (or
// holds them until the test completes them), delivers bytes the test gives it and closes when the
// test hangs it up. When a simulator is attached, the chunks go to it and its replies come back.
class ScriptedChannel final : public PrinterKit::BluetoothChannel,
                              public std::enable_shared_from_this<ScriptedChannel> {
 public:
  std::size_t mtuValue = 127;
  // When false, write completions wait for completeNext().
  bool autoComplete = true;
  std::vector<Bytes> chunks;
  int closeCalls = 0;
  int closureReports = 0;

  void attach(PrinterSimulator::TepraProSimulator& printer) {
    printer_ = &printer;
    printer.send = [weak = weak_from_this()](std::vector<std::uint8_t> bytes) {
      if (const auto self = weak.lock(); self && self->open_) self->deliver(std::move(bytes));
    };
    printer.onLinkDropped = [weak = weak_from_this()] {
      if (const auto self = weak.lock()) self->hangUp();
    };
  }

  void start(std::function<void(Bytes)> data, std::function<void()> closed) override {
    data_ = std::move(data);
    closed_ = std::move(closed);
  }
  bool isOpen() const override { return open_; }
  std::size_t mtu() const override { return mtuValue; }
  std::int32_t write(std::shared_ptr<const Bytes> bytes,
                     std::function<void(std::int32_t)> done) override {
    if (!open_) return PrinterKit::kIOReturnNotOpen;
    chunks.push_back(*bytes);
    held_.push_back(std::move(done));
    if (printer_) {
      printer_->receive(*bytes, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->completeNext();
      });
    } else if (autoComplete) {
      QTimer::singleShot(0, [weak = weak_from_this()] {
        if (const auto self = weak.lock()) self->completeNext();
      });
    }
    return 0;
  }
  void close() override {
    ++closeCalls;
    hangUp();
  }

  // Writes whose completion has not been delivered yet.
  std::size_t inFlight() const { return held_.size(); }
  void completeNext(std::int32_t status = 0) {
    if (held_.empty()) return;
    auto done = std::move(held_.front());
    held_.pop_front();
    done(status);
  }
  // Bytes from the device, delivered from the event loop.
  void deliver(Bytes bytes) {
    QTimer::singleShot(0, [weak = weak_from_this(), bytes = std::move(bytes)] {
      if (const auto self = weak.lock(); self && self->data_) self->data_(bytes);
    });
  }
  // The link goes away: pending writes fail with kIOReturnNotOpen, then the closure is reported.
  void hangUp() {
    if (!open_) return;
    open_ = false;
    if (printer_) printer_->channelClosed();
    QTimer::singleShot(0, [self = shared_from_this()] {
      while (!self->held_.empty()) self->completeNext(PrinterKit::kIOReturnNotOpen);
      ++self->closureReports;
      if (self->closed_) self->closed_();
    });
  }

 private:
  bool open_ = true;
  PrinterSimulator::TepraProSimulator* printer_ = nullptr;
  std::deque<std::function<void(std::int32_t)>> held_;
  std::function<void(Bytes)> data_;
  std::function<void()> closed_;
};

// A Bluetooth stack whose devices, lookups and connections the test scripts.
class ScriptedBluetoothStack final : public PrinterKit::BluetoothStack {
 public:
  // Devices by address as the stack writes it (upper case, ':'); all are paired unless listed
  // in `unpaired`.
  std::vector<Device> devices;
  // What connect() gives for a device id; by default a new ScriptedChannel. Delivered on the
  // event loop unless holdConnections is set.
  std::function<Connection(const Device&)> connection;
  bool holdConnections = false;
  std::vector<std::shared_ptr<ScriptedChannel>> channels;
  std::vector<std::function<void()>> heldConnections;
  int connects = 0;

  // Lookups block until released while `gateLookups` is set.
  void gateLookups() {
    const std::lock_guard lock(mutex_);
    gated_ = true;
  }
  void releaseLookups() {
    {
      const std::lock_guard lock(mutex_);
      gated_ = false;
    }
    released_.notify_all();
  }
  std::vector<std::string> lookups() const {
    const std::lock_guard lock(mutex_);
    return lookups_;
  }
  void failLookups(bool fail) {
    const std::lock_guard lock(mutex_);
    failLookups_ = fail;
  }

  std::optional<Device> device(const std::string& address) override {
    std::unique_lock lock(mutex_);
    lookups_.push_back(address);
    released_.wait(lock, [this] { return !gated_; });
    if (failLookups_) throw PrinterKit::SPPPrinterFailure::bluetoothNotReady();
    for (const Device& d : devices) {
      if (d.address && PrinterKit::BluetoothTransport::Context::normalized(*d.address) ==
                           PrinterKit::BluetoothTransport::Context::normalized(address)) {
        return d;
      }
    }
    return std::nullopt;
  }
  std::vector<Device> pairedDevices() override {
    const std::lock_guard lock(mutex_);
    return devices;
  }
  void connect(const Device& device, std::function<void(Connection)> done) override {
    ++connects;
    Connection outcome = connection ? connection(device) : Connection(newChannel());
    auto deliver = [done = std::move(done), outcome = std::move(outcome)] { done(outcome); };
    if (holdConnections) {
      heldConnections.push_back(std::move(deliver));
    } else {
      QTimer::singleShot(0, std::move(deliver));
    }
  }

  std::shared_ptr<ScriptedChannel> newChannel() {
    channels.push_back(std::make_shared<ScriptedChannel>());
    return channels.back();
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool gated_ = false;
  bool failLookups_ = false;
  std::vector<std::string> lookups_;
};

}  // namespace TestSupport
