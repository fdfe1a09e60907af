#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <QByteArray>
#include <QCoroTask>
#include <QUrl>

class QNetworkAccessManager;

namespace KelmVododIdizor {

// A newer version offered by the web application's site.
struct Update {
  std::string version;  // e.g. "1.4.2"
  QUrl url;             // its download (.deb on Linux)
  bool operator==(const Update&) const = default;
};

// The update check: one request for the manifest on the web application's site, and the rules
// that decide whether it offers a newer build with a plausible download address. Every failure
// means "no update"; none is reported.
class UpdateCheck {
 public:
  static constexpr double timeout = 15.0;  // seconds
  static constexpr std::string_view manifestPath = "/downloads/vodod-idizor/latest-linux.json";
  static constexpr std::string_view downloadPathPrefix = "/downloads/vodod-idizor/";
  static constexpr std::string_view downloadExtension = "deb";

  // "https://<webHost>/downloads/vodod-idizor/latest-linux.json"
  static QUrl latestURL(std::string_view webHost);

  // The rules applied to a manifest body (after an HTTP 200). The body is a JSON object whose
  // members "version" (string), "build" (integer: a JSON number without fraction or exponent) and
  // "url" (string) are all required; other members are ignored. Gives the update when
  // build > ourBuild, the version is two to four dot-separated groups of ASCII digits, and the
  // url parses strictly with scheme "https", host webHost (host names compare without regard to
  // case), no port other than 443, a path that begins with downloadPathPrefix and has no "." or
  // ".." segments and no backslash, and a file name ending in "." downloadExtension. Never throws.
  static std::optional<Update> evaluate(const QByteArray& body, std::int64_t ourBuild,
                                        std::string_view webHost);

  // One check: GET `manifest` ignoring any locally cached answer, within `timeoutSeconds` for the
  // whole exchange, with the header "User-Agent: KelmVododIdizor/<version>". Gives nullopt on any
  // transfer failure, time-out, status other than 200, or when evaluate() says no. Never throws.
  // REQUIRES: called on the thread of `network`, which runs an event loop; `network` outlives
  // the task; timeoutSeconds > 0.
  static QCoro::Task<std::optional<Update>> fetch(QNetworkAccessManager& network, QUrl manifest,
                                                  std::string version, std::int64_t ourBuild,
                                                  std::string webHost,
                                                  double timeoutSeconds = timeout);
};

}  // namespace KelmVododIdizor
