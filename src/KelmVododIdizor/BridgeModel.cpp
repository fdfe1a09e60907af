#include "KelmVododIdizor/BridgeModel.h"

#include <utility>

#include <QNetworkReply>
#include <QSettings>
#include <QVariant>

#include "Async/Async.h"
#include "Base/Require.h"
#include "BridgeKit/WebHost.h"
#include "KelmVododIdizor/BundleInfo.h"

namespace KelmVododIdizor {

namespace {

// A stored Boolean: a bool written in this run, or the texts QSettings writes for one on disk.
// Anything else (a number, another text, a list) is not a Boolean.
std::optional<bool> storedBool(const QSettings& settings, const char* key) {
  const QVariant value = settings.value(key);
  if (value.typeId() == QMetaType::Bool) return value.toBool();
  if (value.typeId() == QMetaType::QString) {
    const QString text = value.toString();
    if (text == QLatin1String("true")) return true;
    if (text == QLatin1String("false")) return false;
  }
  return std::nullopt;
}

// A stored text; an empty one names no printer.
std::optional<std::string> storedText(const QSettings& settings, const char* key) {
  const QVariant value = settings.value(key);
  if (value.typeId() != QMetaType::QString) return std::nullopt;
  const QString text = value.toString();
  if (text.isEmpty()) return std::nullopt;
  return text.toStdString();
}

}  // namespace

std::string BridgeModel::Environment::defaultVersion() { return BundleInfo::current(); }
std::int64_t BridgeModel::Environment::defaultBuild() { return BundleInfo::currentBuild(); }
std::string BridgeModel::Environment::defaultWebHost() { return std::string(BridgeKit::webHost()); }

BridgeModel::BridgeModel(Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  const QSettings settings;
  readSurroundings(settings);

  BridgeKit::Router::Origins origins = BridgeKit::Router::defaultOrigins();
  if (storedBool(settings, allowDevOriginsKey).value_or(false)) {
    for (const char* origin : developmentOrigins) origins.insert(origin);
  }
  // The Router is owned by the model and never outlives it; the provider reads the model's
  // printer at the moment of each request.
  auto provider = [this] { return bridgePrinter(); };
  router_ = std::make_unique<BridgeKit::Router>(environment_.version, std::move(origins),
                                                std::move(provider));

  // A model made for one command leaves the printers alone.
  if (environment_.serves) reloadPrinters();
  refreshCertificate();

  serverRetry_.setSingleShot(true);
  connect(&serverRetry_, &QTimer::timeout, this, [this] {
    Async::start(this, [this]() -> QCoro::Task<> {
      QPointer<BridgeModel> self(this);
      co_await stopServer();
      if (self) co_await startServer();
    });
  });
  daily_.setSingleShot(true);
  connect(&daily_, &QTimer::timeout, this,
          [this] { Async::start(this, [this] { return dailyPass(); }); });

  if (!environment_.serves) return;
  Async::start(this, [this] { return startServer(); });
  Async::start(this, [this] { return dailyPass(); });
  if (environment_.certificateWatchInterval > 0) {
    connect(&certificateWatch_, &QTimer::timeout, this,
            [this] { Async::start(this, [this] { return watchCertificate(); }); });
    certificateWatch_.start(Async::timerInterval(environment_.certificateWatchInterval));
  }
}

BridgeModel::BridgeModel(const Demo& demo, Environment environment, QObject* parent)
    : QObject(parent), environment_(std::move(environment)) {
  readSurroundings(QSettings());
  noticeAccepted_ = demo.noticeAccepted;
  cert_ = demo.cert;
  printers_ = demo.printers;
  selected_ = printers_.empty() ? std::nullopt : std::optional(printers_.front().address);
  status_ = demo.status;
  serverRunning_ = demo.serverRunning;
  launchAtLogin_ = demo.launchAtLogin;
}

void BridgeModel::readSurroundings(const QSettings& settings) {
  KELM_REQUIRE(environment_.loginItem != nullptr);
  KELM_REQUIRE(environment_.printers != nullptr);
  KELM_REQUIRE(environment_.now != nullptr);
  noticeAccepted_ = storedBool(settings, noticeAcceptedKey).value_or(false);
  selected_ = storedText(settings, printerAddressKey);
  autoChosen_ = storedBool(settings, printerAutoChosenKey).value_or(true);
  runningFromDiskImage_ = BundleInfo::runningFromDiskImage(environment_.programPath);
  launchAtLogin_ = environment_.loginItem->status() == LoginItem::Status::enabled;
}

void BridgeModel::announcePrinterChange() {
  if (router_) router_->printerChanged();
}

BridgeModel::~BridgeModel() {
  // An update check in flight ends now, as a failed one, instead of waiting forever for a reply
  // that dies with the network manager; closing_ keeps it from touching the model.
  closing_ = true;
  for (QNetworkReply* reply : network_.findChildren<QNetworkReply*>()) reply->abort();
}

void BridgeModel::setNoticeAccepted(bool accepted) {
  if (accepted == noticeAccepted_) return;
  QSettings().setValue(noticeAcceptedKey, accepted);
  assign(noticeAccepted_, accepted, Field::noticeAccepted);
}

void BridgeModel::setMessage(std::optional<std::string> message) {
  if (message && environment_.log) environment_.log(*message);
  assign(lastMessage_, std::move(message), Field::lastMessage);
}

}  // namespace KelmVododIdizor
