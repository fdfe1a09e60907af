#include <gtest/gtest.h>

#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>
#include <cstdlib>
#include <memory>

#include "BridgeKit/LocalCertificate.h"
#include "CertificateFixture.h"

namespace BridgeKit {
namespace {

constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kMarker = "kelm-served-4711";

// An HTTPS server on 127.0.0.1 (any free port) that answers every request with a page holding
// the marker, serving the given identity.
class MarkerServer {
 public:
  explicit MarkerServer(const LocalCertificate::Identity& identity) {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(identity.certificate);
    configuration.setPrivateKey(identity.privateKey);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    server_.setSslConfiguration(configuration);
    QObject::connect(&server_, &QTcpServer::pendingConnectionAvailable, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) serve(socket);
    });
    listening_ = server_.listen(QHostAddress::LocalHost, 0);
  }
  bool listening() const { return listening_; }
  quint16 port() const { return server_.serverPort(); }

 private:
  static void serve(QTcpSocket* socket) {
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
      if (!socket->peek(1 << 16).contains("\r\n\r\n")) return;
      socket->readAll();
      const QByteArray body = QByteArray("<html><body><p>") + kMarker + "</p></body></html>";
      socket->write(
          "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
          "Content-Length: " +
          QByteArray::number(body.size()) + "\r\n\r\n" + body);
      socket->disconnectFromHost();
    });
  }

  QSslServer server_;
  bool listening_ = false;
};

// Whether headless Chromium, run as the user of `home`, shows the page at `url` (no flag that
// ignores certificate errors).
bool chromiumLoads(const testing::TempHome& home, const QString& url, int run) {
  QProcess chromium;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(QStringLiteral("HOME"), QString::fromStdString(home.path()));
  chromium.setProcessEnvironment(environment);
  chromium.setProgram(QString::fromLatin1(kChromium));
  chromium.setArguments({"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                         "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync",
                         QString::fromStdString("--user-data-dir=" + home.path() + "/chromium-" +
                                                std::to_string(run)),
                         "--dump-dom", url});
  QEventLoop loop;
  QObject::connect(&chromium, &QProcess::finished, &loop, &QEventLoop::quit);
  QObject::connect(&chromium, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, &loop, &QEventLoop::quit);
  watchdog.start(90'000);
  chromium.start();
  loop.exec();
  if (chromium.state() != QProcess::NotRunning) {
    ADD_FAILURE() << "chromium did not finish";
    chromium.kill();
    chromium.waitForFinished();
    return false;
  }
  return chromium.readAllStandardOutput().contains(kMarker);
}

TEST(ChromiumTrustTest, AcceptsTheCertificateOnlyWhileTrusted) {
  if (!QFile::exists(QString::fromLatin1(kChromium)) && std::getenv("CI") == nullptr) {
    GTEST_SKIP() << kChromium << " is not installed";
  }
  testing::TempHome home;
  const LocalCertificate::Pair created = LocalCertificate::create();
  MarkerServer server(created.identity);
  ASSERT_TRUE(server.listening());
  const QString port = QString::number(server.port());
  const QString ip = "https://127.0.0.1:" + port + "/";
  const QString localhost = "https://localhost:" + port + "/";

  EXPECT_FALSE(chromiumLoads(home, ip, 1)) << "accepted before trust";

  LocalCertificate::trust(created.certificate);
  EXPECT_TRUE(chromiumLoads(home, ip, 2)) << "refused after trust";
  EXPECT_TRUE(chromiumLoads(home, localhost, 3)) << "refused for localhost after trust";

  LocalCertificate::remove();
  EXPECT_FALSE(chromiumLoads(home, ip, 4)) << "accepted after removal";
}

}  // namespace
}  // namespace BridgeKit
