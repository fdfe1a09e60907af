#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QUrl>

#include "BridgeKit/CertificateFixture.h"
#include "BridgeKit/LocalCertificate.h"

// A local HTTPS server that plays the web application's site for update checks.
namespace KelmVododIdizor::testing {

using BridgeKit::LocalCertificate;

struct TestIdentity {
  LocalCertificate::Identity identity;
};

inline TestIdentity makeIdentity() {
  LocalCertificate::Made made = LocalCertificate::make(false, std::chrono::system_clock::now());
  const std::optional<std::string> pem = made.key.pkcs8PEM(nullptr);
  const QSslKey key(QByteArray::fromStdString(pem.value_or("")), QSsl::Ec, QSsl::Pem,
                    QSsl::PrivateKey);
  return TestIdentity{{made.certificate, key}};
}

inline const TestIdentity& trustedIdentity() {
  static const TestIdentity identity = makeIdentity();
  return identity;
}

inline const TestIdentity& untrustedIdentity() {
  static const TestIdentity identity = makeIdentity();
  return identity;
}

// One request as the server read it: the request line and the headers, names in lower case.
struct SeenRequest {
  std::string requestLine;
  std::map<std::string, std::string> headers;
};

// An HTTPS server on 127.0.0.1 that answers every request with the next prepared answer, or never
// answers once the answers run out.
class ManifestServer {
 public:
  explicit ManifestServer(const TestIdentity& identity) {
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(identity.identity.certificate);
    configuration.setPrivateKey(identity.identity.privateKey);
    server_.setSslConfiguration(configuration);
    QObject::connect(&server_, &QSslServer::pendingConnectionAvailable, [this] { accept(); });
    EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
  }

  void answerNext(std::string answer) { answers_.push_back(std::move(answer)); }
  QUrl manifestURL() const {
    return QUrl(QStringLiteral("https://127.0.0.1:%1/downloads/vodod-idizor/latest-linux.json")
                    .arg(server_.serverPort()));
  }
  const std::vector<SeenRequest>& seen() const { return seen_; }

 private:
  void accept() {
    while (server_.hasPendingConnections()) {
      auto* socket = static_cast<QSslSocket*>(server_.nextPendingConnection());
      auto buffer = std::make_shared<std::string>();
      QObject::connect(socket, &QSslSocket::readyRead, socket, [this, socket, buffer] {
        *buffer += socket->readAll().toStdString();
        const std::size_t end = buffer->find("\r\n\r\n");
        if (end == std::string::npos) return;
        record(buffer->substr(0, end));
        buffer->clear();
        if (answers_.empty()) return;  // never answers
        socket->write(QByteArray::fromStdString(answers_.front()));
        answers_.erase(answers_.begin());
        socket->disconnectFromHost();
      });
      QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    }
  }

  void record(const std::string& head) {
    SeenRequest request;
    std::size_t start = 0;
    bool first = true;
    while (start <= head.size()) {
      std::size_t end = head.find("\r\n", start);
      if (end == std::string::npos) end = head.size();
      const std::string line = head.substr(start, end - start);
      start = end + 2;
      if (first) {
        request.requestLine = line;
        first = false;
        continue;
      }
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value = line.substr(colon + 1);
      value.erase(0, value.find_first_not_of(' '));
      request.headers[name] = value;
    }
    seen_.push_back(std::move(request));
  }

  QSslServer server_;
  std::vector<std::string> answers_;
  std::vector<SeenRequest> seen_;
};

inline std::string answer(int status, const std::string& reason, const std::string& body,
                          const std::string& extraHeaders = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

}  // namespace KelmVododIdizor::testing
