#include "KelmVododIdizor/UpdateCheck.h"

#include <chrono>
#include <memory>
#include <utility>

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <QStringList>
#include <QTimer>
#include "Async/Async.h"

#include "Base/Require.h"
#include "Json/Value.h"

namespace KelmVododIdizor {
namespace {

bool isAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// Two to four groups of ASCII decimal digits separated by single dots, nothing else (no sign, no
// white space, no line break at the end).
bool isPlausibleVersion(std::string_view text) {
  int groups = 0;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string_view group =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (group.empty()) return false;
    for (char c : group) {
      if (!isAsciiDigit(c)) return false;
    }
    ++groups;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return groups >= 2 && groups <= 4;
}

QString lowerCase(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toLower();
}

// The download must come from the web application's own site, from the downloads folder, and be
// a package file. The path is checked in its decoded form, so that encoded dots or separators
// cannot lead a client that normalizes the address out of the downloads folder.
bool isPlausibleDownload(const QUrl& url, std::string_view webHost) {
  if (!url.isValid() || url.scheme() != QLatin1String("https")) return false;
  // QUrl keeps host names in lower case; DNS names do not depend on case.
  if (url.host().isEmpty() || url.host() != lowerCase(webHost)) return false;
  if (url.port() != -1 && url.port() != 443) return false;
  const QString path = url.path(QUrl::FullyDecoded);
  const QString prefix =
      QString::fromLatin1(UpdateCheck::downloadPathPrefix.data(),
                          static_cast<qsizetype>(UpdateCheck::downloadPathPrefix.size()));
  if (!path.startsWith(prefix) || path.contains(QLatin1Char('\\'))) return false;
  const QStringList segments = path.split(QLatin1Char('/'));
  for (const QString& segment : segments) {
    if (segment == QLatin1String(".") || segment == QLatin1String("..")) return false;
  }
  const QString& name = segments.back();
  const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
  if (dot <= 0) return false;
  return name.mid(dot + 1) ==
         QLatin1String(UpdateCheck::downloadExtension.data(),
                       static_cast<qsizetype>(UpdateCheck::downloadExtension.size()));
}

// Hands the reply back to Qt when the check ends, however it ends; Qt may already have deleted it
// with its manager.
struct ReplyRelease {
  QPointer<QNetworkReply> reply;
  ~ReplyRelease() {
    if (reply) reply->deleteLater();
  }
};

}  // namespace

QUrl UpdateCheck::latestURL(std::string_view webHost) {
  QUrl url;
  url.setScheme(QStringLiteral("https"));
  url.setHost(QString::fromUtf8(webHost.data(), static_cast<qsizetype>(webHost.size())));
  url.setPath(
      QString::fromLatin1(manifestPath.data(), static_cast<qsizetype>(manifestPath.size())));
  return url;
}

std::optional<Update> UpdateCheck::evaluate(const QByteArray& body, std::int64_t ourBuild,
                                            std::string_view webHost) {
  const std::optional<Json::Value> manifest =
      Json::parse(std::string_view(body.constData(), static_cast<std::size_t>(body.size())));
  if (!manifest || manifest->asObject() == nullptr) return std::nullopt;
  const Json::Value* version = manifest->find("version");
  const Json::Value* build = manifest->find("build");
  const Json::Value* url = manifest->find("url");
  if (version == nullptr || build == nullptr || url == nullptr) return std::nullopt;
  const std::string* versionText = version->asString();
  const std::int64_t* buildNumber = build->asInt();
  const std::string* urlText = url->asString();
  if (versionText == nullptr || buildNumber == nullptr || urlText == nullptr) return std::nullopt;

  // Only build numbers are compared; the version text is what the panel shows.
  if (ourBuild >= *buildNumber) return std::nullopt;
  if (!isPlausibleVersion(*versionText)) return std::nullopt;
  const QUrl download(QString::fromStdString(*urlText), QUrl::StrictMode);
  if (!isPlausibleDownload(download, webHost)) return std::nullopt;
  return Update{*versionText, download};
}

QCoro::Task<std::optional<Update>> UpdateCheck::fetch(QNetworkAccessManager& network, QUrl manifest,
                                                      std::string version, std::int64_t ourBuild,
                                                      std::string webHost, double timeoutSeconds) {
  KELM_REQUIRE(timeoutSeconds > 0.0);
  QNetworkRequest request(manifest);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
  request.setRawHeader("User-Agent",
                       QByteArray("KelmVododIdizor/") + QByteArray::fromStdString(version));

  ReplyRelease release{network.get(request)};
  QNetworkReply* reply = release.reply.data();

  // The whole exchange, connection included, ends at the time limit.
  QTimer deadline;
  deadline.setSingleShot(true);
  QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
  deadline.start(Async::timerInterval(timeoutSeconds));

  co_await reply;
  deadline.stop();
  if (release.reply.isNull() || reply->error() != QNetworkReply::NoError) co_return std::nullopt;
  // Qt answers a 304 with a cached body even when no cached answer was asked for.
  if (reply->attribute(QNetworkRequest::SourceIsFromCacheAttribute).toBool())
    co_return std::nullopt;
  if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200) {
    co_return std::nullopt;
  }
  const QByteArray body = reply->readAll();
  co_return evaluate(body, ourBuild, webHost);
}

}  // namespace KelmVododIdizor
