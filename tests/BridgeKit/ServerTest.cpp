#include "BridgeKit/Server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>

#include "BridgeKit/LocalCertificate.h"
#include "BridgeKit/Router.h"
#include "CertificateFixture.h"
#include "support/FakeBridgePrinter.h"
#include "support/RunTask.h"

namespace BridgeKit {
namespace {

using namespace std::chrono_literals;
using TestSupport::runTask;
using TestSupport::runUntil;

const std::string kOrigin = "https://app.example";
constexpr auto kDeadline = 300ms;
// Tests that expect an answer run with a deadline they cannot reach even on a loaded machine (16
// handshakes under the sanitizers can take longer than kDeadline).
constexpr auto kNoDeadline = 60s;

struct TestIdentity {
  LocalCertificate::Identity identity;
  QSslCertificate certificate;
};

const TestIdentity& testIdentity() {
  static const TestIdentity made = [] {
    testing::TempHome home;
    LocalCertificate::Made m = LocalCertificate::make(false, std::chrono::system_clock::now());
    const std::optional<std::string> pem = m.key.pkcs8PEM(nullptr);
    const QSslKey key(QByteArray::fromStdString(pem.value_or("")), QSsl::Ec, QSsl::Pem,
                      QSsl::PrivateKey);
    return TestIdentity{{m.certificate, key}, m.certificate};
  }();
  return made;
}

std::uint16_t freePort() {
  QTcpServer probe;
  EXPECT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
  return probe.serverPort();
}

// A TLS client on a socket of its own, so that it can finish its sending side (shutdown) and keep
// reading, as browsers and command-line clients may do.
class Client {
 public:
  enum class Mode { tls, plain };
  explicit Client(std::uint16_t port, QSsl::SslProtocol protocol = QSsl::TlsV1_2OrLater,
                  const char* address = "127.0.0.1", Mode mode = Mode::tls) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &to.sin_addr);
    connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (!connected_) return;
    QObject::connect(&socket_, &QSslSocket::readyRead,
                     [this] { received_ += socket_.readAll().toStdString(); });
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({testIdentity().certificate});
    configuration.setProtocol(protocol);
    socket_.setSslConfiguration(configuration);
    socket_.setPeerVerifyName(QStringLiteral("127.0.0.1"));
    EXPECT_TRUE(socket_.setSocketDescriptor(fd_));
    if (mode == Mode::tls) socket_.startClientEncryption();
  }
  ~Client() {
    if (connected_) {
      socket_.abort();
    } else {
      ::close(fd_);
    }
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return connected_; }
  bool waitEncrypted() {
    return runUntil([this] { return socket_.isEncrypted() || ended(); }) && socket_.isEncrypted();
  }
  void send(const std::string& bytes) { socket_.write(bytes.data(), std::ssize(bytes)); }
  // Finishes the sending side once everything written has reached the kernel.
  void finishSending() {
    runUntil(
        [this] { return socket_.bytesToWrite() == 0 && socket_.encryptedBytesToWrite() == 0; });
    ASSERT_EQ(::shutdown(fd_, SHUT_WR), 0);
  }
  bool ended() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
  // Everything the server sent until it closed the connection.
  std::string answer() {
    runUntil([this] { return ended(); });
    received_ += socket_.readAll().toStdString();
    return received_;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  QSslSocket socket_;
  std::string received_;
};

std::string head(const std::string& method, const std::string& target, std::size_t length = 0,
                 const std::string& host = "127.0.0.1:52719") {
  std::string h =
      method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nOrigin: " + kOrigin + "\r\n";
  if (length > 0)
    h += "Content-Type: application/json\r\nContent-Length: " + std::to_string(length) + "\r\n";
  return h + "\r\n";
}

const std::string kStatus = head("GET", "/v1/status");

std::string statusLine(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// A Server listening on a free port, with a printer whose status queries are recorded.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(startServer(kNoDeadline)); }
  void TearDown() override {
    if (server) runTask(server->stop());
  }

  bool startServer(std::chrono::milliseconds deadline) {
    port = freePort();
    server = std::make_unique<Server>(router, testIdentity().identity, port, deadline);
    server->setOnState([this](const std::string& state) { states.push_back(state); });
    server->start();
    return runUntil([this] { return !states.empty(); }) &&
           states == std::vector<std::string>{"ready"};
  }
  bool allClosed() {
    return runUntil([this] { return server->openConnections() == 0; });
  }

  std::shared_ptr<TestSupport::FakeBridgePrinter> printer =
      std::make_shared<TestSupport::FakeBridgePrinter>();
  std::vector<bool> printerAskedOnMainThread;
  Router router{"1.2.3", {kOrigin}, [this]() -> std::shared_ptr<BridgePrinter> {
                  printerAskedOnMainThread.push_back(QThread::currentThread() ==
                                                     QCoreApplication::instance()->thread());
                  return printer;
                }};
  std::uint16_t port = 0;
  std::unique_ptr<Server> server;
  std::vector<std::string> states;
};

TEST_F(ServerTest, AnswersOneRequestAndClosesEvenWhenThePeerFinishesSendingFirst) {
  for (const bool halfClose : {false, true}) {
    SCOPED_TRACE(halfClose ? "half-closed" : "open");
    Client client(port);
    ASSERT_TRUE(client.waitEncrypted());
    client.send(kStatus);
    if (halfClose) client.finishSending();
    const std::string answer = client.answer();
    EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("\"app\":\"Kelm Vodod Idizor\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("\"name\":\"SR-MK1 Office\""), std::string::npos) << answer;
    EXPECT_NE(answer.find("Connection: close\r\n"), std::string::npos) << answer;
    EXPECT_TRUE(allClosed());
  }
  EXPECT_EQ(printerAskedOnMainThread, (std::vector<bool>{true}));  // the second reuses the body
}

TEST_F(ServerTest, RefusesAHeadBeforeItsBodyArrives) {
  struct Case {
    std::string name;
    std::string head;
    std::string status;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"bad host", head("POST", "/v1/print", 100, "example.com"),
       "HTTP/1.1 421 Misdirected Request", "{\"code\":\"BAD_HOST\"}"},
      {"unknown path", head("POST", "/v1/other", 100), "HTTP/1.1 404 Not Found",
       "{\"code\":\"NOT_FOUND\"}"},
      {"huge body", head("POST", "/v1/print", 99'999'999'999), "HTTP/1.1 413 Payload Too Large",
       ""},
      {"malformed", "GARBAGE\r\n\r\n", "HTTP/1.1 400 Bad Request", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Client client(port);
    client.send(c.head);
    const std::string answer = client.answer();
    EXPECT_EQ(statusLine(answer), c.status);
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), c.body);
  }
  EXPECT_TRUE(allClosed());
}

TEST_F(ServerTest, AssemblesABodyLargerThanOneRead) {
  // Leading blanks: a body cut short anywhere is not JSON, and is answered BAD_REQUEST.
  const std::string body = std::string(3 * 262144, ' ') + R"({"labels":[],"tapeMm":12})";
  Client client(port);
  client.send(head("POST", "/v1/print", body.size()));
  for (std::size_t at = 0; at < body.size(); at += 100'000) client.send(body.substr(at, 100'000));
  const std::string answer = client.answer();
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 400 Bad Request");
  EXPECT_NE(answer.find("{\"code\":\"NO_LABELS\"}"), std::string::npos) << answer;
}

TEST_F(ServerTest, DropsBytesAfterTheRequest) {
  Client client(port);
  client.send(kStatus + kStatus + head("GET", "/nowhere"));
  const std::string answer = client.answer();
  EXPECT_EQ(statusLine(answer), "HTTP/1.1 200 OK");
  EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;
}

TEST_F(ServerTest, DropsARequestNotCompleteAtItsDeadline) {
  server.reset();
  states.clear();
  ASSERT_TRUE(startServer(kDeadline));
  struct Case {
    std::string name;
    bool handshake;
    std::string sent;
  };
  const std::vector<Case> cases = {
      {"no handshake", false, ""},
      {"half a head", true, "GET /v1/status HTTP/1.1\r\nHost: 127"},
      {"half a body", true, head("POST", "/v1/print", 20) + "{\"tapeMm\":"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QElapsedTimer elapsed;
    elapsed.start();
    Client client(port, QSsl::TlsV1_2OrLater, "127.0.0.1",
                  c.handshake ? Client::Mode::tls : Client::Mode::plain);
    if (c.handshake) {
      ASSERT_TRUE(client.waitEncrypted());
      client.send(c.sent);
    }
    EXPECT_EQ(client.answer(), "");
    EXPECT_GE(elapsed.elapsed(), kDeadline.count());
    EXPECT_TRUE(allClosed());
  }
}

TEST_F(ServerTest, DropsARequestWhosePeerFinishesSendingEarly) {
  for (const std::string& sent : {std::string(), head("POST", "/v1/print", 20) + "{}"}) {
    Client client(port);
    ASSERT_TRUE(client.waitEncrypted());
    client.send(sent);
    client.finishSending();
    EXPECT_EQ(client.answer(), "");
    EXPECT_TRUE(allClosed());
  }
}

TEST_F(ServerTest, ClosesTheSeventeenthConnectionAndAcceptsOnceASlotIsFree) {
  std::vector<std::unique_ptr<Client>> open;
  for (int i = 0; i < Server::maxConnections; ++i) {
    open.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(open.back()->waitEncrypted());
  }
  EXPECT_EQ(server->openConnections(), Server::maxConnections);

  Client refused(port);
  EXPECT_TRUE(refused.connected());
  EXPECT_FALSE(refused.waitEncrypted());
  EXPECT_EQ(refused.answer(), "");
  EXPECT_EQ(server->openConnections(), Server::maxConnections);

  open.front()->send(kStatus);
  EXPECT_EQ(statusLine(open.front()->answer()), "HTTP/1.1 200 OK");
  ASSERT_TRUE(runUntil([this] { return server->openConnections() < Server::maxConnections; }));
  Client next(port);
  next.send(kStatus);
  EXPECT_EQ(statusLine(next.answer()), "HTTP/1.1 200 OK");
}

TEST_F(ServerTest, RefusesTLSBelowVersion1_2) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Client old(port, QSsl::TlsV1_1);
#pragma GCC diagnostic pop
  EXPECT_FALSE(old.waitEncrypted());
  old.send(kStatus);
  EXPECT_EQ(old.answer(), "");
  EXPECT_TRUE(allClosed());
}

TEST_F(ServerTest, ListensOn127001Only) {
  Client other(port, QSsl::TlsV1_2OrLater, "127.0.0.2");
  EXPECT_FALSE(other.connected());

  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(port);
    to.sin6_addr = in6addr_loopback;
    EXPECT_NE(::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ::close(fd);
  }
}

TEST_F(ServerTest, ReportsATakenPortAsFailed) {
  Server second(router, testIdentity().identity, port, kDeadline);
  std::vector<std::string> secondStates;
  second.setOnState([&](const std::string& state) { secondStates.push_back(state); });
  second.start();
  ASSERT_TRUE(runUntil([&] { return !secondStates.empty(); }));
  ASSERT_EQ(secondStates.size(), 1u);
  EXPECT_EQ(secondStates[0].rfind("failed(", 0), 0u) << secondStates[0];
  EXPECT_EQ(secondStates[0].back(), ')');
}

TEST_F(ServerTest, StopsWithinTheGraceAndReportsNothingAfter) {
  QElapsedTimer elapsed;
  elapsed.start();
  EXPECT_TRUE(runTask(server->stop(), 3s));
  EXPECT_LT(elapsed.elapsed(), 2000);
  EXPECT_FALSE(Client(port).connected());
  EXPECT_EQ(states, std::vector<std::string>{"ready"});

  // Stopped before the listener could report: nothing is reported at all.
  Server quick(router, testIdentity().identity, freePort(), kDeadline);
  std::vector<std::string> quickStates;
  quick.setOnState([&](const std::string& state) { quickStates.push_back(state); });
  quick.start();
  EXPECT_TRUE(runTask(quick.stop(), 3s));
  Server probe(router, testIdentity().identity, freePort(), kDeadline);
  probe.setOnState([&](const std::string& state) { quickStates.push_back("probe " + state); });
  probe.start();
  ASSERT_TRUE(runUntil([&] { return !quickStates.empty(); }));
  EXPECT_EQ(quickStates, std::vector<std::string>{"probe ready"});
  runTask(probe.stop());

  Server never(router, testIdentity().identity, freePort(), kDeadline);
  elapsed.restart();
  EXPECT_TRUE(runTask(never.stop()));
  EXPECT_LT(elapsed.elapsed(), 100);
}

TEST_F(ServerTest, RefusesToStartWithoutAPrivateKey) {
  Server keyless(router, {testIdentity().certificate, QSslKey()}, freePort(), kDeadline);
  try {
    keyless.start();
    ADD_FAILURE() << "started";
  } catch (const LocalCertificate::Failure& failure) {
    EXPECT_EQ(failure, LocalCertificate::Failure::identity(-50));
  }
}

}  // namespace
}  // namespace BridgeKit
