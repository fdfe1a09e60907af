#include <QPointer>

#include "Async/Async.h"

#include "KelmVododIdizor/BridgeModel.h"

// Keeping the listener up: start, stop, and one pending restart while the port is unusable.
namespace KelmVododIdizor {

QCoro::Task<> BridgeModel::startServer() {
  if (server_ || !router_ || !environment_.serves) co_return;
  std::optional<BridgeKit::LocalCertificate::Pair> certificate =
      BridgeKit::LocalCertificate::current(now(), environment_.stores);
  if (!certificate) co_return;
  auto server = std::make_unique<BridgeKit::Server>(
      *router_, certificate->identity, environment_.port, environment_.requestDeadline);
  QPointer<BridgeModel> self(this);
  const BridgeKit::Server* made = server.get();
  server->setOnState([self, made](const std::string& state) {
    if (self) self->onServerState(made, state);
  });
  try {
    server->start();
    server_ = std::move(server);
    servedFingerprint_ = BridgeKit::LocalCertificate::fingerprint(certificate->certificate);
  } catch (const std::exception& failure) {
    retryServer(environment_.retryDelay, failure.what());
  }
}

QCoro::Task<> BridgeModel::stopServer() {
  std::unique_ptr<BridgeKit::Server> server = std::move(server_);
  servedFingerprint_.clear();
  assign(serverRunning_, false, Field::serverRunning);
  if (server) co_await server->stop();
}

void BridgeModel::onServerState(const BridgeKit::Server* server, const std::string& state) {
  // A listener that is no longer the model's has nothing to say about the current one.
  if (server != server_.get()) return;
  if (environment_.log) environment_.log("listener: " + state);
  assign(serverRunning_, state.starts_with("ready"), Field::serverRunning);
  if (state.starts_with("failed") || state.starts_with("waiting")) {
    retryServer(environment_.retryDelay, state);
  }
}

void BridgeModel::retryServer(double seconds, const std::string& because) {
  setMessage("Could not listen on 127.0.0.1:" + std::to_string(environment_.port) + " (" + because +
             "). Trying again…");
  if (serverRetry_.isActive()) return;
  serverRetry_.start(Async::timerInterval(seconds));
}

}  // namespace KelmVododIdizor
