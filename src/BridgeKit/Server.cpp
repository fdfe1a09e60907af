#include "BridgeKit/Server.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include <QFuture>
#include <QHostAddress>
#include <QMetaObject>
#include <QPromise>
#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>

#include "Async/Async.h"
#include "Base/Require.h"
#include "BridgeKit/HTTPRequest.h"
#include "BridgeKit/HTTPResponse.h"

namespace BridgeKit {

namespace {

// Carries bytes between a peer's TCP socket and the TLS socket's end of a socket pair. A Qt
// socket that reads the end of its peer's input closes in both directions, so a peer that
// finishes sending right after its request could never get the answer. The relay therefore never
// passes the end of the peer's input on; it reports it through `peerFinished` instead. When the
// TLS side closes, the relay writes out what is left, finishes the TCP sending side, and discards
// further input for a short while before it closes, so that unread bytes of the peer do not reset
// the connection under the answer. The relay deletes itself when done.
class Relay : public QObject {
 public:
  // Takes ownership of both descriptors, which must be non-blocking.
  Relay(int tcp, int inner, QObject* parent, std::function<void()> peerFinished)
      : QObject(parent),
        tcp_(tcp),
        inner_(inner),
        tcpRead_(tcp, QSocketNotifier::Read),
        tcpWrite_(tcp, QSocketNotifier::Write),
        innerRead_(inner, QSocketNotifier::Read),
        innerWrite_(inner, QSocketNotifier::Write),
        peerFinished_(std::move(peerFinished)) {
    tcpWrite_.setEnabled(false);
    innerWrite_.setEnabled(false);
    QObject::connect(&tcpRead_, &QSocketNotifier::activated, this, [this] { readTcp(); });
    QObject::connect(&tcpWrite_, &QSocketNotifier::activated, this, [this] { writeTcp(); });
    QObject::connect(&innerRead_, &QSocketNotifier::activated, this, [this] { readInner(); });
    QObject::connect(&innerWrite_, &QSocketNotifier::activated, this, [this] { writeInner(); });
    linger_.setSingleShot(true);
    QObject::connect(&linger_, &QTimer::timeout, this, [this] { end(); });
  }
  ~Relay() override { closeAll(); }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

 private:
  static constexpr std::size_t chunk = 65536;
  static constexpr int lingerMs = 1000;

  // Reads one chunk; 0 at the end of input, -1 when nothing is there yet, -2 on an error.
  static long readSome(int fd, std::vector<char>& into) {
    char bytes[chunk];
    const ssize_t n = ::read(fd, bytes, sizeof bytes);
    if (n > 0) {
      into.insert(into.end(), bytes, bytes + n);
      return n;
    }
    if (n == 0) return 0;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
  }

  // Writes as much of `pending` as the socket takes; false on an error.
  static bool writeSome(int fd, std::vector<char>& pending) {
    while (!pending.empty()) {
      const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL);
      if (n > 0) {
        pending.erase(pending.begin(), pending.begin() + n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
      }
    }
    return true;
  }

  void readTcp() {
    if (lingering_) {
      std::vector<char> dropped;
      const long n = readSome(tcp_, dropped);
      if (n == 0 || n == -2) end();
      return;
    }
    const long n = readSome(tcp_, toInner_);
    if (n == -1) return;
    if (n == -2) return end();
    tcpRead_.setEnabled(false);
    if (n == 0) {
      peerFinished_();
      return;
    }
    writeInner();
  }

  void writeInner() {
    if (!writeSome(inner_, toInner_)) return end();
    innerWrite_.setEnabled(!toInner_.empty());
    tcpRead_.setEnabled(toInner_.empty());
  }

  void readInner() {
    const long n = readSome(inner_, toTcp_);
    if (n == -1) return;
    if (n == -2) return end();
    innerRead_.setEnabled(false);
    if (n == 0) innerFinished_ = true;
    writeTcp();
  }

  void writeTcp() {
    if (!writeSome(tcp_, toTcp_)) return end();
    tcpWrite_.setEnabled(!toTcp_.empty());
    if (!toTcp_.empty()) return;
    if (!innerFinished_) {
      innerRead_.setEnabled(true);
      return;
    }
    // The TLS side has closed and everything it sent is out.
    ::shutdown(tcp_, SHUT_WR);
    lingering_ = true;
    toInner_.clear();
    innerWrite_.setEnabled(false);
    tcpRead_.setEnabled(true);
    linger_.start(lingerMs);
  }

  void closeAll() {
    for (QSocketNotifier* n : {&tcpRead_, &tcpWrite_, &innerRead_, &innerWrite_}) {
      n->setEnabled(false);
    }
    if (tcp_ >= 0) ::close(tcp_);
    if (inner_ >= 0) ::close(inner_);
    tcp_ = -1;
    inner_ = -1;
  }

  // Closes both sides: the TLS socket sees the end of its input and ends too.
  void end() {
    linger_.stop();
    closeAll();
    deleteLater();
  }

  int tcp_;
  int inner_;
  QSocketNotifier tcpRead_;
  QSocketNotifier tcpWrite_;
  QSocketNotifier innerRead_;
  QSocketNotifier innerWrite_;
  QTimer linger_;
  std::function<void()> peerFinished_;
  std::vector<char> toInner_;  // read from the peer, not yet taken by the TLS socket
  std::vector<char> toTcp_;    // written by the TLS socket, not yet taken by the peer
  bool innerFinished_ = false;
  bool lingering_ = false;
};

// Claimed once: whichever of two racing events claims it first acts.
class OnceFlag {
 public:
  bool claim() { return !value_.exchange(true); }

 private:
  std::atomic<bool> value_{false};
};

}  // namespace

// The listener and its connections, on the server's thread.
class Server::Listener : public QSslServer {
 public:
  Listener(Router& router, std::shared_ptr<Shared> shared, std::chrono::milliseconds timeout,
           std::function<void(const std::string&)> report)
      : router_(router),
        shared_(std::move(shared)),
        timeout_(timeout),
        report_(std::move(report)) {}

  void listenOn(const QSslConfiguration& configuration, std::uint16_t port) {
    setSslConfiguration(configuration);
    if (listen(QHostAddress::LocalHost, port)) {
      report_("ready");
    } else {
      report_("failed(" + errorString().toStdString() + ")");
    }
  }

  // Sends the Router's answer to connection `id`, when it is still there.
  void respond(std::uint64_t id, const HTTPResponse& response) {
    const auto it = connections_.find(id);
    if (it != connections_.end()) respond(it->second, response);
  }

 protected:
  void incomingConnection(qintptr descriptor) override;

 private:
  enum class Stage { reading, handling, answering };
  struct Connection {
    QSslSocket* socket = nullptr;
    QTimer* deadline = nullptr;  // child of socket
    std::vector<std::uint8_t> buffer;
    std::optional<HTTPRequest::Head> head;
    Stage stage = Stage::reading;
    bool peerFinished = false;
  };

  void receive(std::uint64_t id);
  void dispatch(std::uint64_t id, Connection& c);
  void respond(Connection& c, const HTTPResponse& response);
  void peerFinished(std::uint64_t id);
  void cancel(std::uint64_t id);
  void finish(std::uint64_t id);

  Router& router_;
  const std::shared_ptr<Shared> shared_;
  const std::chrono::milliseconds timeout_;
  const std::function<void(const std::string&)> report_;
  std::map<std::uint64_t, Connection> connections_;
  std::uint64_t nextId_ = 0;
};

struct Server::Shared {
  std::mutex mutex;
  QObject* main = nullptr;               // null once the Server is going
  Server::Listener* listener = nullptr;  // null once the Server is going
  std::atomic<int> open{0};

  // Runs `work` on the Server's thread, unless the Server is gone.
  void toMain(std::function<void()> work) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (main != nullptr) QMetaObject::invokeMethod(main, std::move(work), Qt::QueuedConnection);
  }
  // Starts `work` as a task on the Server's thread, unless the Server is gone.
  void startOnMain(std::function<QCoro::Task<>()> work) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (main != nullptr) Async::start(main, std::move(work));
  }
  // Runs `work` on the server's thread, unless the Server is gone.
  void toListener(std::function<void(Listener&)> work) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (listener == nullptr) return;
    Listener* target = listener;
    QMetaObject::invokeMethod(
        target, [target, work = std::move(work)] { work(*target); }, Qt::QueuedConnection);
  }
};

void Server::Listener::incomingConnection(qintptr descriptor) {
  const int tcp = static_cast<int>(descriptor);
  if (shared_->open.load() >= maxConnections) {
    ::close(tcp);
    return;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0 ||
      ::fcntl(tcp, F_SETFL, ::fcntl(tcp, F_GETFL) | O_NONBLOCK) != 0) {
    ::close(tcp);
    return;
  }
  auto* socket = new QSslSocket(this);
  if (!socket->setSocketDescriptor(pair[0])) {
    delete socket;
    ::close(pair[0]);
    ::close(pair[1]);
    ::close(tcp);
    return;
  }
  const std::uint64_t id = nextId_++;
  new Relay(tcp, pair[1], this, [this, id] { peerFinished(id); });
  shared_->open.fetch_add(1);

  auto* deadline = new QTimer(socket);
  deadline->setSingleShot(true);
  deadline->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire 5% early
  Connection connection;
  connection.socket = socket;
  connection.deadline = deadline;
  connections_.emplace(id, std::move(connection));
  QObject::connect(deadline, &QTimer::timeout, this, [this, id] { cancel(id); });
  QObject::connect(socket, &QSslSocket::readyRead, this, [this, id] { receive(id); });
  QObject::connect(socket, &QAbstractSocket::disconnected, this, [this, id] { finish(id); });
  QObject::connect(socket, &QAbstractSocket::errorOccurred, this,
                   [this, id](QAbstractSocket::SocketError) { cancel(id); });
  deadline->start(timeout_);
  socket->setSslConfiguration(sslConfiguration());
  socket->startServerEncryption();
}

void Server::Listener::receive(std::uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  while (c.stage == Stage::reading) {
    const QByteArray bytes = c.socket->read(maxRead);
    if (bytes.isEmpty()) break;
    c.buffer.insert(c.buffer.end(), bytes.begin(), bytes.end());
    if (!c.head) {
      HTTPRequest::HeadParse parsed = HTTPRequest::parseHead(c.buffer);
      if (const std::optional<int> status = parsed.badStatus()) {
        return respond(c, HTTPResponse{*status, {}, {}});
      }
      HTTPRequest::Head* head = parsed.head();
      if (head == nullptr) continue;
      if (std::optional<HTTPResponse> refusal = router_.precheck(*head)) {
        return respond(c, *refusal);
      }
      c.buffer.reserve(static_cast<std::size_t>(head->bodyStart + head->contentLength));
      c.head = std::move(*head);
    }
    if (c.buffer.size() >= static_cast<std::size_t>(c.head->bodyStart + c.head->contentLength)) {
      return dispatch(id, c);
    }
  }
  // Bytes after the request are dropped.
  if (c.stage != Stage::reading) c.socket->skip(c.socket->bytesAvailable());
  if (c.stage == Stage::reading && c.peerFinished) peerFinished(id);
}

void Server::Listener::dispatch(std::uint64_t id, Connection& c) {
  c.deadline->stop();
  c.stage = Stage::handling;
  const auto start = c.buffer.begin() + static_cast<std::ptrdiff_t>(c.head->bodyStart);
  std::vector<std::uint8_t> body(start, start + static_cast<std::ptrdiff_t>(c.head->contentLength));
  HTTPRequest request(std::move(c.head->method), std::move(c.head->path),
                      std::move(c.head->headers), std::move(body));
  c.buffer = {};
  c.socket->skip(c.socket->bytesAvailable());

  auto handle = [router = &router_, shared = shared_, id,
                 request = std::move(request)]() mutable -> QCoro::Task<> {
    HTTPResponse response;
    try {
      QCoro::Task<HTTPResponse> answer = router->handle(std::move(request));
      response = co_await std::move(answer);
    } catch (...) {
      // handle() fails only when memory runs out; the client still gets an answer.
      response = HTTPResponse{500, {}, {}};
    }
    auto send = [id, response = std::move(response)](Listener& listener) {
      listener.respond(id, response);
    };
    shared->toListener(std::move(send));
  };
  shared_->startOnMain(std::move(handle));
}

void Server::Listener::respond(Connection& c, const HTTPResponse& response) {
  c.deadline->stop();
  c.stage = Stage::answering;
  c.buffer = {};
  const std::vector<std::uint8_t> bytes = response.serialized();
  c.socket->write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
  // Closes once the bytes are out.
  c.socket->disconnectFromHost();
}

void Server::Listener::peerFinished(std::uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  Connection& c = it->second;
  c.peerFinished = true;
  if (c.stage != Stage::reading) return;
  // The request can no longer complete once the TLS socket has taken in everything the peer sent.
  int unread = 0;
  if (::ioctl(static_cast<int>(c.socket->socketDescriptor()), FIONREAD, &unread) != 0) unread = 0;
  if (unread == 0 && c.socket->encryptedBytesAvailable() == 0 && c.socket->bytesAvailable() == 0) {
    cancel(id);
  }
}

void Server::Listener::cancel(std::uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  it->second.socket->abort();
  finish(id);
}

void Server::Listener::finish(std::uint64_t id) {
  const auto it = connections_.find(id);
  if (it == connections_.end()) return;
  QSslSocket* socket = it->second.socket;
  it->second.deadline->stop();
  connections_.erase(it);
  shared_->open.fetch_sub(1);
  socket->disconnect(this);
  socket->abort();
  socket->deleteLater();
}

Server::Server(Router& router, LocalCertificate::Identity identity, std::uint16_t port,
               std::chrono::milliseconds deadline)
    : identity_(std::move(identity)), port_(port), shared_(std::make_shared<Shared>()) {
  shared_->main = &mainContext_;
  auto report = [shared = shared_, this](const std::string& state) {
    shared->toMain([this, state] { this->report(state); });
  };
  listener_ = new Listener(router, shared_, deadline, std::move(report));
  listener_->moveToThread(&thread_);
  shared_->listener = listener_;
  thread_.setObjectName(QStringLiteral("kelm.vododidizor.server"));
  thread_.start();
}

Server::~Server() {
  {
    const std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->main = nullptr;
    shared_->listener = nullptr;
  }
  Listener* listener = listener_;
  QMetaObject::invokeMethod(
      listener, [listener] { delete listener; }, Qt::BlockingQueuedConnection);
  thread_.quit();
  thread_.wait();
}

void Server::report(const std::string& state) {
  if (!stopped_ && onState_) onState_(state);
}

void Server::start() {
  KELM_REQUIRE(!started_);
  if (identity_.certificate.isNull() || identity_.privateKey.isNull() ||
      identity_.privateKey.type() != QSsl::PrivateKey) {
    throw LocalCertificate::Failure::identity(-50);
  }
  started_ = true;
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.setLocalCertificate(identity_.certificate);
  configuration.setPrivateKey(identity_.privateKey);
  configuration.setProtocol(QSsl::TlsV1_2OrLater);
  configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
  // Clients are never verified: no certificate authorities at all, so that no connection looks
  // up the system's root certificates.
  configuration.setCaCertificates({});
  const std::uint16_t port = port_;
  shared_->toListener(
      [configuration, port](Listener& listener) { listener.listenOn(configuration, port); });
}

QCoro::Task<> Server::stop() {
  if (!started_ || stopped_) co_return;
  stopped_ = true;
  auto promise = std::make_shared<QPromise<void>>();
  promise->start();
  auto flag = std::make_shared<OnceFlag>();
  auto resume = [promise, flag] {
    if (flag->claim()) promise->finish();
  };
  QFuture<void> done = promise->future();
  auto closeListener = [resume](Listener& listener) {
    listener.close();
    resume();
  };
  shared_->toListener(std::move(closeListener));
  QTimer::singleShot(stopGrace, &mainContext_, resume);
  co_await done;
}

int Server::openConnections() const { return shared_->open.load(); }

}  // namespace BridgeKit
