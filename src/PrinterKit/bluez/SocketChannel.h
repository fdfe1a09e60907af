#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include <QSocketNotifier>
#include <QTimer>

#include "PrinterKit/BluetoothStack.h"

namespace PrinterKit::BlueZ {

// A serial-port link over a connected stream socket (the RFCOMM socket bluetoothd hands over, or
// any other stream socket in tests).
//
// A write is reported done only once its bytes have left the socket's send queue: the kernel
// accepting them says nothing about the link, whose rate the printer's deadlines depend on. The
// queue is watched every drainPoll seconds until it reads empty.
//
// close() shuts the socket down in both directions: bluetoothd keeps the RFCOMM link up while any
// descriptor of the socket is open (it holds one too), so a plain close() would leave the link
// up. Main thread only.
class SocketChannel final : public BluetoothChannel,
                            public std::enable_shared_from_this<SocketChannel> {
  struct Key {
    explicit Key() = default;
  };

 public:
  // Writes are cut to this size: the socket reports no MTU of its own.
  static constexpr std::size_t defaultMtu = 1024;
  static constexpr double defaultDrainPoll = 0.001;

  // Takes ownership of `fd`, a connected stream socket, and makes it non-blocking.
  // REQUIRES: fd >= 0.
  static std::shared_ptr<SocketChannel> adopt(int fd, std::size_t mtu = defaultMtu,
                                              double drainPoll = defaultDrainPoll);
  SocketChannel(Key, int fd, std::size_t mtu, double drainPoll);
  ~SocketChannel() override;
  SocketChannel(const SocketChannel&) = delete;
  SocketChannel& operator=(const SocketChannel&) = delete;

  void start(std::function<void(Bytes)> data, std::function<void()> closed) override;
  bool isOpen() const override { return !ended_; }
  std::size_t mtu() const override { return mtu_; }
  std::int32_t write(std::shared_ptr<const Bytes> bytes,
                     std::function<void(std::int32_t)> done) override;
  void close() override;

  // Bytes written to the socket that have not left it yet: for an RFCOMM socket, what its send
  // buffer still holds; for a local or TCP socket, what the peer has not taken. None when the
  // socket cannot tell.
  static std::optional<std::size_t> unsent(int fd);

 private:
  struct Pending {
    std::shared_ptr<const Bytes> bytes;
    std::size_t offset = 0;
    std::function<void(std::int32_t)> done;
  };

  void readable();
  void pump();
  void drained();
  void complete(std::int32_t status);
  // Ends the link once: no more reading or writing; pending writes fail and `closed_` is called
  // from the event loop.
  void end();

  const int fd_;
  const std::size_t mtu_;
  const double drainPoll_;
  QSocketNotifier reader_;
  QSocketNotifier writer_;
  QTimer drainTimer_;
  std::deque<Pending> pending_;
  std::function<void(Bytes)> data_;
  std::function<void()> closed_;
  bool started_ = false;
  bool ended_ = false;
};

}  // namespace PrinterKit::BlueZ
