#include <QPointer>

#include "Async/Async.h"
#include "KelmVododIdizor/BridgeModel.h"

// The certificate's state, its set-up (make, trust, serve) and its removal.
namespace KelmVododIdizor {

namespace {

using BridgeKit::LocalCertificate;

std::string setUpFailure(const std::string& failure) {
  return "The certificate was not trusted (" + failure + ")";
}

}  // namespace

void BridgeModel::refreshCertificate() {
  const Moment at = now();
  const std::optional<LocalCertificate::Pair> current =
      LocalCertificate::current(at, environment_.stores);
  seenFingerprint_ = current ? LocalCertificate::fingerprint(current->certificate) : "";
  if (!current) {
    assign(cert_, CertState::missing(), Field::cert);
    return;
  }
  if (!LocalCertificate::isTrusted(current->certificate, environment_.stores)) {
    assign(cert_, CertState::untrusted(), Field::cert);
    return;
  }
  const std::optional<Moment> until = LocalCertificate::notAfter(current->certificate);
  if (LocalCertificate::needsRenewal(current->certificate, at)) {
    assign(cert_, CertState::renewSoon(until.value_or(Moment::max())), Field::cert);
  } else {
    assign(cert_, CertState::trusted(*until), Field::cert);
  }
}

QCoro::Task<> BridgeModel::setUpCertificate() {
  QPointer<BridgeModel> self(this);
  assign(busy_, std::optional<std::string>("Trusting the certificate…"), Field::busy);
  const Moment at = now();
  std::optional<LocalCertificate::Pair> pair = LocalCertificate::current(at, environment_.stores);
  std::optional<std::string> failure;
  if (!pair || LocalCertificate::needsRenewal(pair->certificate, at)) {
    pair.reset();
    try {
      pair = LocalCertificate::create(at, environment_.stores);
    } catch (const std::exception& error) {
      failure = error.what();
    }
  }
  if (pair) {
    // Trusting runs certutil on every browser database; the main thread goes on meanwhile.
    auto trust = [certificate = pair->certificate,
                  stores = environment_.stores]() -> std::optional<std::string> {
      try {
        LocalCertificate::trust(certificate, stores);
        return std::nullopt;
      } catch (const std::exception& error) {
        return std::string(error.what());
      }
    };
    failure = co_await Async::runDetached(std::move(trust));
    if (!self) co_return;
  }
  setMessage(failure ? std::optional<std::string>(setUpFailure(*failure)) : std::nullopt);
  refreshCertificate();
  co_await stopServer();
  if (!self) co_return;
  co_await startServer();
  assign(busy_, std::optional<std::string>(), Field::busy);
}

QCoro::Task<> BridgeModel::watchCertificate() {
  // Our own set-up restarts the listener itself; a pending restart will pick up what is current.
  if (watching_ || busy_ || serverRetry_.isActive()) co_return;
  const std::optional<LocalCertificate::Pair> current =
      LocalCertificate::current(now(), environment_.stores);
  const std::string fingerprint =
      current ? LocalCertificate::fingerprint(current->certificate) : std::string();
  if (fingerprint != seenFingerprint_) refreshCertificate();
  if (fingerprint == servedFingerprint_) co_return;
  QPointer<BridgeModel> self(this);
  watching_ = true;
  co_await stopServer();
  if (!self) co_return;
  co_await startServer();
  watching_ = false;
}

QCoro::Task<> BridgeModel::removeCertificate() {
  QPointer<BridgeModel> self(this);
  co_await stopServer();
  if (!self) co_return;
  LocalCertificate::remove(environment_.stores);
  refreshCertificate();
}

}  // namespace KelmVododIdizor
