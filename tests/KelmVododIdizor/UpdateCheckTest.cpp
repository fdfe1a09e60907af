#include "KelmVododIdizor/UpdateCheck.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <QNetworkAccessManager>
#include <QNetworkDiskCache>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>

#include "BridgeKit/CertificateFixture.h"
#include "BridgeKit/LocalCertificate.h"
#include "KelmVododIdizor/ManifestServer.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {

void PrintTo(const Update& update, std::ostream* os) {
  *os << "{" << update.version << ", " << update.url.toString().toStdString() << "}";
}

namespace {

using BridgeKit::LocalCertificate;
using TestSupport::runTask;

const std::string kWebHost = "kelm.example";
const std::string kDownload =
    "https://kelm.example/downloads/vodod-idizor/kelm-vodod-idizor_1.4.2_amd64.deb";

std::string manifest(const std::string& version, const std::string& build, const std::string& url) {
  return R"({"version":")" + version + R"(","build":)" + build + R"(,"url":")" + url + R"("})";
}

std::optional<Update> evaluate(const std::string& body, std::int64_t ourBuild) {
  return UpdateCheck::evaluate(QByteArray::fromStdString(body), ourBuild, kWebHost);
}

TEST(UpdateCheckTest, LatestURL) {
  EXPECT_EQ(UpdateCheck::latestURL("kelm.example").toString().toStdString(),
            "https://kelm.example/downloads/vodod-idizor/latest-linux.json");
}

TEST(UpdateCheckTest, NewerBuildWithGoodVersionAndDownloadIsAnUpdate) {
  const std::optional<Update> update = evaluate(manifest("1.4.2", "8", kDownload), 7);
  ASSERT_TRUE(update.has_value());
  EXPECT_EQ(update->version, "1.4.2");
  EXPECT_EQ(update->url.toString().toStdString(), kDownload);
}

TEST(UpdateCheckTest, BuildNumbersDecide) {
  struct Case {
    const char* build;
    std::int64_t ours;
    bool update;
  };
  const Case cases[] = {
      {"8", 7, true},
      {"7", 7, false},
      {"6", 7, false},
      {"1", 0, true},
      {"0", 0, false},
      {"-1", 0, false},
      {"9223372036854775807", 9223372036854775806, true},
      // The build must be a JSON integer.
      {"8.0", 7, false},
      {"8e0", 7, false},
      {R"("8")", 7, false},
      {"null", 7, false},
  };
  for (const Case& c : cases) {
    // The version text plays no part: "0.1" is offered over a build that calls itself 9.9.
    EXPECT_EQ(evaluate(manifest("0.1", c.build, kDownload), c.ours).has_value(), c.update)
        << "build " << c.build << " over " << c.ours;
  }
}

TEST(UpdateCheckTest, VersionIsTwoToFourGroupsOfDigits) {
  struct Case {
    const char* version;
    bool update;
  };
  const Case cases[] = {
      {"1.4", true},
      {"1.4.2", true},
      {"10.04.2.999", true},
      {"1", false},
      {"1.2.3.4.5", false},
      {"v1.2", false},
      {"1.2.", false},
      {".1.2", false},
      {"1..2", false},
      {"1.2 ", false},
      {"1.2\\n", false},
      {"-1.2", false},
      {"1.2-beta", false},
      {"", false},
      {"\xd9\xa1.\xd9\xa2", false},  // Arabic-Indic digits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluate(manifest(c.version, "8", kDownload), 7).has_value(), c.update) << c.version;
  }
}

TEST(UpdateCheckTest, DownloadMustBeADebFromTheSitesDownloads) {
  struct Case {
    const char* url;
    bool update;
  };
  const Case cases[] = {
      {"https://kelm.example/downloads/vodod-idizor/k.deb", true},
      {"https://kelm.example/downloads/vodod-idizor/1.4/k.deb?from=panel", true},
      {"https://kelm.example:443/downloads/vodod-idizor/k.deb", true},
      // Host names do not depend on case; QUrl keeps them in lower case.
      {"https://KELM.Example/downloads/vodod-idizor/k.deb", true},
      {"http://kelm.example/downloads/vodod-idizor/k.deb", false},
      {"ftp://kelm.example/downloads/vodod-idizor/k.deb", false},
      {"https://evil.example/downloads/vodod-idizor/k.deb", false},
      {"https://kelm.example.evil.example/downloads/vodod-idizor/k.deb", false},
      {"https://kelm.example@evil.example/downloads/vodod-idizor/k.deb", false},
      {"https://kelm.example./downloads/vodod-idizor/k.deb", false},
      {"https://kelm.example:8443/downloads/vodod-idizor/k.deb", false},
      {"https:///downloads/vodod-idizor/k.deb", false},
      {"/downloads/vodod-idizor/k.deb", false},
      {"https://kelm.example/downloads/other/k.deb", false},
      {"https://kelm.example/downloads/vodod-idizork.deb", false},
      {"https://kelm.example/k.deb", false},
      {"https://kelm.example/downloads/vodod-idizor/../../private/k.deb", false},
      {"https://kelm.example/downloads/vodod-idizor/%2e%2e/k.deb", false},
      {"https://kelm.example/downloads/vodod-idizor/..%5Cprivate%5Ck.deb", false},
      {"https://kelm.example/downloads/vodod-idizor/k.dmg", false},
      {"https://kelm.example/downloads/vodod-idizor/k.DEB", false},
      {"https://kelm.example/downloads/vodod-idizor/k.deb.exe", false},
      {"https://kelm.example/downloads/vodod-idizor/deb", false},
      {"https://kelm.example/downloads/vodod-idizor/.deb", false},
      {"https://kelm.example/downloads/vodod-idizor/k.deb/", false},
      {"https://kelm.example/downloads/vodod-idizor/k deb.deb", false},
      {"not an address", false},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(evaluate(manifest("1.4.2", "8", c.url), 7).has_value(), c.update) << c.url;
  }
}

TEST(UpdateCheckTest, BodyMustBeAnObjectWithAllThreeMembers) {
  const std::string good = manifest("1.4.2", "8", kDownload);
  const std::string cases[] = {
      "",
      "not json",
      good.substr(0, good.size() - 1),
      "[" + good + "]",
      "null",
      R"({"build":8,"url":")" + kDownload + R"("})",
      R"({"version":"1.4.2","url":")" + kDownload + R"("})",
      R"({"version":"1.4.2","build":8})",
      R"({"version":1.4,"build":8,"url":")" + kDownload + R"("})",
      R"({"version":"1.4.2","build":8,"url":["https://kelm.example/downloads/vodod-idizor/k.deb"]})",
  };
  for (const std::string& body : cases) EXPECT_FALSE(evaluate(body, 7).has_value()) << body;
  // Other members are ignored.
  EXPECT_TRUE(evaluate(R"({"notes":{"en":"faster"},"version":"1.4.2","build":8,"url":")" +
                           kDownload + R"("})",
                       7)
                  .has_value());
}

// ---- fetch() against a local HTTPS server ----

using testing::answer;
using testing::ManifestServer;
using testing::SeenRequest;
using testing::trustedIdentity;
using testing::untrustedIdentity;

const std::string kGoodManifest = manifest("1.4.2", "8", kDownload);
// Validators and freshness that would make a caching client ask "If-None-Match" next time.
const std::string kCacheable = "ETag: \"m1\"\r\nCache-Control: max-age=0\r\n";

// The client trusts the trusted identity's certificate through the CA list of the default TLS
// configuration, which every request starts from; the network keeps a disk cache.
class UpdateFetchTest : public ::testing::Test {
 protected:
  UpdateFetchTest() : saved_(QSslConfiguration::defaultConfiguration()) {
    QSslConfiguration trusting = saved_;
    trusting.setCaCertificates({trustedIdentity().identity.certificate});
    QSslConfiguration::setDefaultConfiguration(trusting);
    auto* cache = new QNetworkDiskCache(&network_);
    cache->setCacheDirectory(cacheDir_.path());
    network_.setCache(cache);
  }
  ~UpdateFetchTest() override { QSslConfiguration::setDefaultConfiguration(saved_); }

  std::optional<Update> fetch(const ManifestServer& server, double timeoutSeconds = 5.0) {
    const auto result = runTask(
        UpdateCheck::fetch(network_, server.manifestURL(), "1.3.0", 7, kWebHost, timeoutSeconds));
    EXPECT_TRUE(result.has_value()) << "fetch did not end";
    return result.value_or(std::nullopt);
  }

  QSslConfiguration saved_;
  QTemporaryDir cacheDir_;
  QNetworkAccessManager network_;
};

TEST_F(UpdateFetchTest, GoodManifestGivesTheUpdateFromAPlainGet) {
  ManifestServer server(trustedIdentity());
  server.answerNext(answer(200, "OK", kGoodManifest, kCacheable));
  server.answerNext(answer(200, "OK", kGoodManifest, kCacheable));
  const Update expected{"1.4.2", QUrl(QString::fromStdString(kDownload))};
  EXPECT_EQ(fetch(server), expected);
  // The second check follows a cacheable answer and must still ask plainly.
  EXPECT_EQ(fetch(server), expected);

  ASSERT_EQ(server.seen().size(), 2u);
  for (const SeenRequest& request : server.seen()) {
    EXPECT_EQ(request.requestLine, "GET /downloads/vodod-idizor/latest-linux.json HTTP/1.1");
    EXPECT_EQ(request.headers.count("user-agent") ? request.headers.at("user-agent") : "",
              "KelmVododIdizor/1.3.0");
    EXPECT_EQ(request.headers.count("if-none-match"), 0u);
    EXPECT_EQ(request.headers.count("if-modified-since"), 0u);
  }
}

TEST_F(UpdateFetchTest, AnswersOtherThan200GiveNone) {
  struct Case {
    int status;
    const char* reason;
  };
  const Case cases[] = {{304, "Not Modified"}, {404, "Not Found"}, {500, "Internal Server Error"}};
  for (const Case& c : cases) {
    ManifestServer server(trustedIdentity());
    // A cached good manifest must not stand in for a later "not modified".
    server.answerNext(answer(200, "OK", kGoodManifest, kCacheable));
    server.answerNext(c.status == 304 ? "HTTP/1.1 304 Not Modified\r\nETag: \"m1\"\r\n"
                                        "Connection: close\r\n\r\n"
                                      : answer(c.status, c.reason, kGoodManifest));
    EXPECT_TRUE(fetch(server).has_value());
    EXPECT_EQ(fetch(server), std::nullopt) << c.status;
    EXPECT_EQ(server.seen().size(), 2u) << c.status;
  }
}

TEST_F(UpdateFetchTest, SilentServerGivesNoneAtTheTimeLimit) {
  ManifestServer server(trustedIdentity());  // no answers prepared
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(server, 0.3), std::nullopt);
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(server.seen().size(), 1u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(250));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
}

TEST_F(UpdateFetchTest, UntrustedCertificateGivesNone) {
  ManifestServer server(untrustedIdentity());
  server.answerNext(answer(200, "OK", kGoodManifest));
  EXPECT_EQ(fetch(server), std::nullopt);
  EXPECT_TRUE(server.seen().empty());
}

}  // namespace
}  // namespace KelmVododIdizor
