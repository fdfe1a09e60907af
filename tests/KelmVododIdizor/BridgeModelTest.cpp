#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <QSettings>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include "BridgeKit/CertificateFixture.h"
#include "BridgeKit/LocalCertificate.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/BundleInfo.h"
#include "KelmVododIdizor/ManifestServer.h"
#include "KelmVododIdizor/ModelFixture.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {
namespace {

using BridgeKit::LocalCertificate;
using namespace std::chrono_literals;
using TestSupport::runTask;
using TestSupport::runUntil;
using CertKind = BridgeModel::CertState::Kind;
using testing::FakeLoginItem;

class BridgeModelTest : public testing::ModelFixture {};

TEST_F(BridgeModelTest, SettingsAreReadOnceWithTheirDefaultsAndOddTypes) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, QVariant>> stored;
    bool noticeAccepted;
    std::optional<std::string> selected;
    bool autoChosen;
    std::size_t origins;
  };
  const Case cases[] = {
      {"empty store", {}, false, std::nullopt, true, 1},
      {"stored values",
       {{"noticeAccepted", true},
        {"printerAddress", QStringLiteral("fc-0f-e7-00-00-01")},
        {"printerAutoChosen", false}},
       true,
       "fc-0f-e7-00-00-01",
       false,
       1},
      {"autoChosen stored as a text",
       {{"printerAutoChosen", QStringLiteral("no")}},
       false,
       std::nullopt,
       true,
       1},
      {"autoChosen stored as a number", {{"printerAutoChosen", 0}}, false, std::nullopt, true, 1},
      {"empty address names no printer",
       {{"printerAddress", QString()}},
       false,
       std::nullopt,
       true,
       1},
      {"development origins", {{"allowDevOrigins", true}}, false, std::nullopt, true, 3},
      {"development origins as a text",
       {{"allowDevOrigins", QStringLiteral("yes")}},
       false,
       std::nullopt,
       true,
       1},
  };
  for (const Case& c : cases) {
    {
      QSettings settings;
      settings.clear();
      for (const auto& [key, value] : c.stored) settings.setValue(key, value);
    }
    const auto model = makeModel();
    EXPECT_EQ(model->noticeAccepted(), c.noticeAccepted) << c.name;
    EXPECT_EQ(model->selected(), c.selected) << c.name;
    EXPECT_EQ(model->autoChosen(), c.autoChosen) << c.name;
    const BridgeKit::Router::Origins& origins = model->router().allowedOrigins();
    EXPECT_EQ(origins.size(), c.origins) << c.name;
    for (const std::string& origin : BridgeKit::Router::defaultOrigins()) {
      EXPECT_TRUE(origins.contains(origin)) << c.name;
    }
    if (c.origins == 3) {
      EXPECT_TRUE(origins.contains("http://localhost:5173"));
      EXPECT_TRUE(origins.contains("http://localhost:5174"));
    }
  }
}

TEST_F(BridgeModelTest, ConstructionSetsTheCertificateStateAndWaitsForNothing) {
  trustedCertificate(now);
  devices->add("TEPRA PRO", "fc-0f-e7-00-00-01");
  std::vector<BridgeModel::Field> changes;
  const auto model = makeModel();
  QObject::connect(model.get(), &BridgeModel::changed,
                   [&changes](BridgeModel::Field field) { changes.push_back(field); });
  EXPECT_EQ(model->cert().kind, CertKind::trusted);
  EXPECT_FALSE(model->hasServer());
  EXPECT_FALSE(model->serverRunning());
  EXPECT_TRUE(model->loadingPrinters());
  EXPECT_EQ(devices->listings, 0);
  EXPECT_TRUE(model->printers().empty());

  ASSERT_TRUE(runUntil([&] { return model->serverRunning() && model->status(); }));
  // The listing, the choice and the status refresh ran first, and the listener started beside.
  EXPECT_EQ(changes.front(), BridgeModel::Field::loadingPrinters);
  EXPECT_EQ(std::count(changes.begin(), changes.end(), BridgeModel::Field::serverRunning), 1);
  EXPECT_EQ(model->selected(), "fc-0f-e7-00-00-01");
  EXPECT_FALSE(model->lastMessage());
}

TEST_F(BridgeModelTest, NoCertificateMeansNoListenerNoRetryAndNoMessage) {
  const auto model = makeModel();
  EXPECT_EQ(model->cert(), BridgeModel::CertState::missing());
  runTask(model->startServer());
  EXPECT_FALSE(model->hasServer());
  EXPECT_FALSE(model->serverRetryPending());
  EXPECT_FALSE(model->lastMessage());
}

TEST_F(BridgeModelTest, CertificateStateAtTheRenewalBoundary) {
  const LocalCertificate::Pair pair = trustedCertificate(now);
  const LocalCertificate::Moment end = *LocalCertificate::notAfter(pair.certificate);
  struct Case {
    std::chrono::seconds left;
    CertKind kind;
  };
  for (const Case c : {Case{2'592'001s, CertKind::trusted}, Case{2'592'000s, CertKind::renewSoon},
                       Case{1s, CertKind::renewSoon}, Case{0s, CertKind::missing}}) {
    now = end - c.left;
    const auto model = makeModel();
    EXPECT_EQ(model->cert().kind, c.kind) << c.left.count();
    if (c.kind != CertKind::missing) {
      EXPECT_EQ(model->cert().until, end) << c.left.count();
    }
  }
  browserTrust->trusted.clear();
  now = end - 2'592'001s;
  EXPECT_EQ(makeModel()->cert(), BridgeModel::CertState::untrusted());
}

TEST_F(BridgeModelTest, SetUpMakesTrustsAndServesTheCertificate) {
  const auto model = makeModel();
  std::vector<std::optional<std::string>> busy;
  QObject::connect(model.get(), &BridgeModel::changed, [&](BridgeModel::Field field) {
    if (field == BridgeModel::Field::busy) busy.push_back(model->busy());
  });
  runTask(model->setUpCertificate());

  const std::optional<LocalCertificate::Pair> current = LocalCertificate::current(now, stores);
  ASSERT_TRUE(current);
  EXPECT_EQ(model->cert().kind, CertKind::trusted);
  EXPECT_EQ(model->cert().until, *LocalCertificate::notAfter(current->certificate));
  EXPECT_FALSE(model->lastMessage());
  EXPECT_EQ(busy,
            (std::vector<std::optional<std::string>>{"Trusting the certificate…", std::nullopt}));
  ASSERT_TRUE(runUntil([&] { return model->serverRunning(); }));
  EXPECT_TRUE(serves(current->certificate));
}

TEST_F(BridgeModelTest, SetUpKeepsACertificateWithMoreThanThirtyDaysAndRenewsOtherwise) {
  struct Case {
    std::chrono::seconds left;
    bool kept;
  };
  for (const Case c : {Case{2'592'001s, true}, Case{2'592'000s, false}}) {
    LocalCertificate::remove(stores);
    const LocalCertificate::Pair pair = LocalCertificate::create(now, stores);
    const std::string made = LocalCertificate::fingerprint(pair.certificate);
    const LocalCertificate::Moment madeAt = now;
    now = *LocalCertificate::notAfter(pair.certificate) - c.left;
    const auto model = makeModel();
    EXPECT_EQ(model->cert(), BridgeModel::CertState::untrusted());
    runTask(model->setUpCertificate());
    const auto current = LocalCertificate::current(now, stores);
    ASSERT_TRUE(current);
    EXPECT_EQ(LocalCertificate::fingerprint(current->certificate) == made, c.kept)
        << c.left.count();
    now = madeAt;
    EXPECT_TRUE(trusted(current->certificate)) << c.left.count();
  }
}

TEST_F(BridgeModelTest, RefusedTrustLeavesAnUntrustedCertificateServedAndSaysWhy) {
  browserTrust->refuse = true;
  const auto model = makeModel();
  runTask(model->setUpCertificate());
  EXPECT_EQ(model->cert(), BridgeModel::CertState::untrusted());
  EXPECT_EQ(model->lastMessage(), "The certificate was not trusted (trust(-128))");
  EXPECT_FALSE(model->busy());
  const auto current = LocalCertificate::current(now, stores);
  ASSERT_TRUE(current);
  ASSERT_TRUE(runUntil([&] { return model->serverRunning(); }));
  EXPECT_TRUE(serves(current->certificate));
}

TEST_F(BridgeModelTest, RemovalStopsTheListenerForGood) {
  trustedCertificate(now);
  const auto model = makeModel();
  ASSERT_TRUE(runUntil([&] { return model->serverRunning(); }));
  runTask(model->removeCertificate());
  EXPECT_EQ(model->cert(), BridgeModel::CertState::missing());
  EXPECT_FALSE(model->serverRunning());
  EXPECT_FALSE(model->hasServer());
  EXPECT_FALSE(LocalCertificate::current(now, stores));
  // Several retry delays later nothing has started a listener again.
  bool waited = false;
  QTimer::singleShot(100ms, [&waited] { waited = true; });
  runUntil([&] { return waited; });
  EXPECT_FALSE(model->hasServer());
}

TEST_F(BridgeModelTest, ATakenPortIsRetriedWithOneRestartPendingUntilItFrees) {
  trustedCertificate(now);
  auto taken = std::make_unique<QTcpServer>();
  ASSERT_TRUE(taken->listen(QHostAddress::LocalHost, port));
  // Every retry says why, even when the text is the one already shown.
  std::vector<std::string> messages;
  BridgeModel::Environment env = environment();
  env.log = [&messages](const std::string& line) {
    if (line.starts_with("Could not")) messages.push_back(line);
  };
  const auto model = std::make_unique<BridgeModel>(std::move(env));
  ASSERT_TRUE(runUntil([&] { return messages.size() >= 3; }));
  const std::string prefix = "Could not listen on 127.0.0.1:" + std::to_string(port) + " (failed(";
  for (const std::string& message : messages) {
    EXPECT_TRUE(message.starts_with(prefix)) << message;
    EXPECT_TRUE(message.ends_with(")). Trying again…")) << message;
  }
  EXPECT_TRUE(model->serverRetryPending());
  EXPECT_FALSE(model->serverRunning());

  taken.reset();
  ASSERT_TRUE(runUntil([&] { return model->serverRunning(); }));
  EXPECT_FALSE(model->serverRetryPending());
  EXPECT_TRUE(model->lastMessage()->starts_with(prefix));
}

TEST_F(BridgeModelTest, ACertificateMadeOrRemovedByAnotherProcessIsPickedUp) {
  BridgeModel::Environment env = environment();
  env.certificateWatchInterval = 0.02;
  BridgeModel model(std::move(env));
  const LocalCertificate::Pair pair = trustedCertificate(now);
  ASSERT_TRUE(
      runUntil([&] { return model.serverRunning() && model.cert().kind == CertKind::trusted; }));
  EXPECT_TRUE(serves(pair.certificate));

  const LocalCertificate::Pair renewed = trustedCertificate(now);
  ASSERT_TRUE(runUntil([&] { return serves(renewed.certificate); }));

  LocalCertificate::remove(stores);
  ASSERT_TRUE(runUntil([&] { return !model.hasServer(); }));
  EXPECT_EQ(model.cert(), BridgeModel::CertState::missing());
}

TEST_F(BridgeModelTest, LaunchAtLogin) {
  struct Case {
    const char* name;
    bool diskImage;
    bool on;
    LoginItem::Status onRegister;
    std::optional<std::string> failure;
    bool launchAtLogin;
    std::optional<std::string> message;
    int calls;
  };
  const Case cases[] = {
      {"on", false, true, LoginItem::Status::enabled, std::nullopt, true, std::nullopt, 1},
      {"off", false, false, LoginItem::Status::enabled, std::nullopt, false, std::nullopt, 1},
      {"needs approval", false, true, LoginItem::Status::requiresApproval, std::nullopt, false,
       "Allow it in System Settings › General › Login Items", 1},
      {"fails", false, true, LoginItem::Status::enabled,
       "Could not write /x/kelm-vodod-idizor.desktop: Permission denied", false,
       "Open at login: Could not write /x/kelm-vodod-idizor.desktop: Permission denied", 1},
      {"on from a disk image", true, true, LoginItem::Status::enabled, std::nullopt, false,
       "Move Kelm™ Vodod Idizor to Applications first", 0},
      {"off from a disk image", true, false, LoginItem::Status::enabled, std::nullopt, false,
       std::nullopt, 1},
  };
  for (const Case& c : cases) {
    *loginItem = FakeLoginItem{};
    loginItem->onRegister = c.onRegister;
    loginItem->failure = c.failure;
    BridgeModel::Environment env = environment();
    env.programPath =
        c.diskImage ? "/Volumes/Kelm/kelm-vodod-idizor" : "/usr/bin/kelm-vodod-idizor";
    BridgeModel model(std::move(env));
    EXPECT_EQ(model.runningFromDiskImage(), c.diskImage) << c.name;
    model.setLaunchAtLogin(c.on);
    EXPECT_EQ(model.launchAtLogin(), c.launchAtLogin) << c.name;
    EXPECT_EQ(model.lastMessage(), c.message) << c.name;
    EXPECT_EQ(loginItem->registers + loginItem->unregisters, c.calls) << c.name;
  }
  loginItem->current = LoginItem::Status::enabled;
  EXPECT_TRUE(makeModel()->launchAtLogin());
}

// The daily pass asks the web application's site at start-up and again after each interval; only
// a newer build with a download on the site becomes `update`, and a later find replaces it.
TEST_F(BridgeModelTest, UpdateChecksRunAtStartAndEveryIntervalAgainstTheSite) {
  struct TrustTheSite {
    TrustTheSite() {
      QSslConfiguration trusting = saved;
      trusting.setCaCertificates({testing::trustedIdentity().identity.certificate});
      QSslConfiguration::setDefaultConfiguration(trusting);
    }
    ~TrustTheSite() { QSslConfiguration::setDefaultConfiguration(saved); }
    const QSslConfiguration saved = QSslConfiguration::defaultConfiguration();
  } trustTheSite;

  const std::string download = "https://kelm.example/downloads/vodod-idizor/k_%1.deb";
  auto manifest = [&](const char* version, int build) {
    std::string url = download;
    url.replace(url.find("%1"), 2, version);
    return testing::answer(200, "OK",
                           std::string("{\"version\":\"") + version + "\",\"build\":" +
                               std::to_string(build) + ",\"url\":\"" + url + "\"}");
  };
  testing::ManifestServer site(testing::trustedIdentity());
  site.answerNext(manifest("1.3.0", 7));  // the same build as ours
  site.answerNext(manifest("1.4.0", 8));
  site.answerNext(testing::answer(404, "Not Found", ""));
  site.answerNext(manifest("1.5.0", 9));

  BridgeModel::Environment env = environment();
  env.build = 7;
  env.version = "1.3.0";
  env.webHost = "kelm.example";
  env.latestURL = site.manifestURL();
  env.dailyInterval = 0.02;
  BridgeModel model(std::move(env));
  std::vector<std::optional<Update>> updates;
  QObject::connect(&model, &BridgeModel::changed, [&](BridgeModel::Field field) {
    if (field == BridgeModel::Field::update) updates.push_back(model.update());
  });
  ASSERT_TRUE(runUntil([&] {
    return site.seen().size() == 4 && model.update() && model.update()->version == "1.5.0";
  }));

  EXPECT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates.front()->version, "1.4.0");
  EXPECT_EQ(model.update()->url, QUrl("https://kelm.example/downloads/vodod-idizor/k_1.5.0.deb"));
  EXPECT_EQ(site.seen().front().headers.at("user-agent"), "KelmVododIdizor/1.3.0");
  EXPECT_FALSE(model.lastMessage());
}

TEST(BundleInfoTest, VersionBuildAndDiskImageRules) {
  EXPECT_EQ(BundleInfo::version(std::nullopt), "dev");
  EXPECT_EQ(BundleInfo::version("1.4.2"), "1.4.2");
  const std::pair<std::optional<std::string>, std::int64_t> builds[] = {
      {std::nullopt, 0}, {"", 0},
      {"7", 7},          {"+7", 7},
      {"-3", -3},        {"7a", 0},
      {"a7", 0},         {"+", 0},
      {"+-1", 0},        {"--1", 0},
      {" 7", 0},         {"7 ", 0},
      {"1.0", 0},        {"99999999999999999999", 0},
  };
  for (const auto& [text, build] : builds)
    EXPECT_EQ(BundleInfo::build(text), build) << text.value_or("(none)");
  EXPECT_TRUE(BundleInfo::runningFromDiskImage("/Volumes/Kelm/app"));
  EXPECT_FALSE(BundleInfo::runningFromDiskImage("/VolumesX/app"));
  EXPECT_FALSE(BundleInfo::runningFromDiskImage("/Volumes"));
  EXPECT_FALSE(BundleInfo::runningFromDiskImage("/usr/bin/kelm-vodod-idizor"));
}

}  // namespace
}  // namespace KelmVododIdizor
