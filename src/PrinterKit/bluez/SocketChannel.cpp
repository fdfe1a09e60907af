#include "PrinterKit/bluez/SocketChannel.h"

#include <cerrno>
#include <utility>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Async/Async.h"
#include "Base/Require.h"

namespace PrinterKit::BlueZ {

std::shared_ptr<SocketChannel> SocketChannel::adopt(int fd, std::size_t mtu, double drainPoll) {
  return std::make_shared<SocketChannel>(Key(), fd, mtu, drainPoll);
}

SocketChannel::SocketChannel(Key, int fd, std::size_t mtu, double drainPoll)
    : fd_(fd),
      mtu_(mtu),
      drainPoll_(drainPoll),
      reader_(fd, QSocketNotifier::Read),
      writer_(fd, QSocketNotifier::Write) {
  KELM_REQUIRE(fd >= 0);
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
  reader_.setEnabled(false);
  writer_.setEnabled(false);
  QObject::connect(&reader_, &QSocketNotifier::activated, [this] { readable(); });
  QObject::connect(&writer_, &QSocketNotifier::activated, [this] {
    writer_.setEnabled(false);
    pump();
  });
  drainTimer_.setTimerType(Qt::PreciseTimer);
  drainTimer_.setInterval(Async::timerInterval(drainPoll_));
  QObject::connect(&drainTimer_, &QTimer::timeout, [this] { drained(); });
}

SocketChannel::~SocketChannel() {
  reader_.setEnabled(false);
  writer_.setEnabled(false);
  ::close(fd_);
}

void SocketChannel::start(std::function<void(Bytes)> data, std::function<void()> closed) {
  KELM_REQUIRE(!started_);
  started_ = true;
  data_ = std::move(data);
  closed_ = std::move(closed);
  if (ended_) {
    // Ended before anyone listened: the closure is still reported.
    QTimer::singleShot(0, [self = shared_from_this()] {
      if (self->closed_) self->closed_();
    });
    return;
  }
  reader_.setEnabled(true);
}

void SocketChannel::readable() {
  const std::shared_ptr<SocketChannel> self = shared_from_this();
  Bytes buffer(65536);
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n > 0) {
      if (data_) data_(Bytes(buffer.begin(), buffer.begin() + n));
      if (ended_) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    // End of stream, or the link failed.
    end();
    return;
  }
}

std::int32_t SocketChannel::write(std::shared_ptr<const Bytes> bytes,
                                  std::function<void(std::int32_t)> done) {
  KELM_REQUIRE(bytes != nullptr && bytes->size() <= mtu_);
  if (ended_) return kIOReturnNotOpen;
  pending_.push_back(Pending{std::move(bytes), 0, std::move(done)});
  if (pending_.size() == 1) pump();
  return 0;
}

void SocketChannel::pump() {
  while (!ended_ && !pending_.empty() && !drainTimer_.isActive()) {
    Pending& front = pending_.front();
    if (front.offset < front.bytes->size()) {
      const ssize_t n = ::send(fd_, front.bytes->data() + front.offset,
                               front.bytes->size() - front.offset, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n >= 0) {
        front.offset += static_cast<std::size_t>(n);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        writer_.setEnabled(true);
        return;
      }
      if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN || errno == ESHUTDOWN) {
        end();
        return;
      }
      complete(errno);
      continue;
    }
    // Every byte is in the kernel; the write is done once they have left it.
    const std::optional<std::size_t> left = unsent(fd_);
    if (left && *left > 0) {
      drainTimer_.start();
      return;
    }
    complete(0);
  }
}

void SocketChannel::drained() {
  const std::optional<std::size_t> left = unsent(fd_);
  if (left && *left > 0) return;
  drainTimer_.stop();
  complete(0);
  pump();
}

void SocketChannel::complete(std::int32_t status) {
  Pending finished = std::move(pending_.front());
  pending_.pop_front();
  finished.done(status);
}

void SocketChannel::close() { end(); }

void SocketChannel::end() {
  if (ended_) return;
  ended_ = true;
  reader_.setEnabled(false);
  writer_.setEnabled(false);
  drainTimer_.stop();
  ::shutdown(fd_, SHUT_RDWR);
  // Reported from the event loop, never from inside the caller (a close() or a callback); the
  // channel stays alive until then.
  QTimer::singleShot(0, [self = shared_from_this()] {
    const std::deque<Pending> failed = std::exchange(self->pending_, {});
    for (const Pending& write : failed) write.done(kIOReturnNotOpen);
    if (self->started_ && self->closed_) self->closed_();
  });
}

std::optional<std::size_t> SocketChannel::unsent(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
  int value = 0;
  if (address.ss_family == AF_BLUETOOTH) {
    // Bluetooth sockets answer TIOCOUTQ with the free space of the send buffer.
    int size = 0;
    socklen_t sizeLength = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &sizeLength) != 0) return std::nullopt;
    if (::ioctl(fd, TIOCOUTQ, &value) != 0) return std::nullopt;
    return size > value ? static_cast<std::size_t>(size - value) : 0;
  }
  if (::ioctl(fd, SIOCOUTQ, &value) != 0 || value < 0) return std::nullopt;
  return static_cast<std::size_t>(value);
}

}  // namespace PrinterKit::BlueZ
