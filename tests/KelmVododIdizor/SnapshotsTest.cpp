#include "KelmVododIdizor/Snapshots.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>

#include "KelmVododIdizor/MenuPanel.h"
#include "KelmVododIdizor/ModelFixture.h"
#include "KelmVododIdizor/PanelProbe.h"

namespace KelmVododIdizor {
namespace {

using PanelProbe::find;
using PanelProbe::text;

using Appearance = Snapshots::Appearance;
using CertKind = BridgeModel::CertState::Kind;

class SnapshotsTest : public testing::ModelFixture {
 protected:
  // Files under the fresh user's settings folder: none unless something wrote settings.
  QStringList settingsFiles() const {
    QStringList found;
    const QDir config(QString::fromStdString(home.path() + "/.config"));
    for (const QString& entry : config.entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
      found << entry;
    }
    return found;
  }

  std::map<std::string, BridgeModel::Demo> scenesByName() const {
    std::map<std::string, BridgeModel::Demo> byName;
    for (const Snapshots::Scene& scene : Snapshots::scenes(now)) byName[scene.name] = scene.demo;
    return byName;
  }

  static bool showsText(const MenuPanel& panel, const char* wanted) {
    for (const QLabel* label : panel.findChildren<QLabel*>()) {
      if (label->text() == QString::fromUtf8(wanted)) return true;
    }
    return false;
  }
};

TEST_F(SnapshotsTest, RunWritesEightPicturesLightAndDarkAtTwiceTheSize) {
  QTemporaryDir scratch;
  const QString directory = scratch.path() + QStringLiteral("/docs/snapshots");
  Snapshots::run(directory);

  const QStringList expected = {"wiki-pb-no-printer-dark.png", "wiki-pb-no-printer-light.png",
                                "wiki-pb-notice-dark.png",     "wiki-pb-notice-light.png",
                                "wiki-pb-ready-dark.png",      "wiki-pb-ready-light.png",
                                "wiki-pb-setup-dark.png",      "wiki-pb-setup-light.png"};
  EXPECT_EQ(QDir(directory).entryList(QDir::Files, QDir::Name), expected);

  const QByteArray signature("\x89PNG\r\n\x1a\n", 8);
  const QColor lightWindow = Snapshots::palette(Appearance::light).color(QPalette::Window);
  const QColor darkWindow = Snapshots::palette(Appearance::dark).color(QPalette::Window);
  EXPECT_NE(lightWindow, darkWindow);
  for (const char* scene :
       {"wiki-pb-notice", "wiki-pb-setup", "wiki-pb-no-printer", "wiki-pb-ready"}) {
    std::map<std::string, QByteArray> bytes;
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
      const std::string name = std::string(scene) + "-" + Snapshots::suffix(appearance) + ".png";
      QFile file(directory + QLatin1Char('/') + QString::fromStdString(name));
      ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name;
      const QByteArray png = file.readAll();
      EXPECT_TRUE(png.startsWith(signature)) << name;
      bytes[Snapshots::suffix(appearance)] = png;

      const QImage image = QImage::fromData(png, "PNG");
      ASSERT_FALSE(image.isNull()) << name;
      // The panel, a 1-pixel margin each side, drawn at two pixels per widget pixel.
      EXPECT_EQ(image.width(), 2 * (MenuPanel::panelWidth + 2)) << name;
      EXPECT_EQ(image.height() % 2, 0) << name;
      // The margin is transparent; inside the border, the panel's own padding shows the
      // appearance's window colour.
      EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0) << name;
      EXPECT_EQ(qAlpha(image.pixel(0, image.height() / 2)), 0) << name;
      const QColor inside = image.pixelColor(2 * 6, image.height() / 2);
      EXPECT_EQ(inside.rgb(), (appearance == Appearance::light ? lightWindow : darkWindow).rgb())
          << name;
    }
    EXPECT_NE(bytes["light"], bytes["dark"]) << scene;
  }
  // Nothing was contacted or stored on the way.
  EXPECT_EQ(settingsFiles(), QStringList());
}

TEST_F(SnapshotsTest, ADirectoryThatCannotBeMadeGetsNoFiles) {
  QTemporaryDir scratch;
  const QString blocker = scratch.path() + QStringLiteral("/file");
  QFile file(blocker);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.close();

  Snapshots::run(blocker + QStringLiteral("/snapshots"));

  EXPECT_EQ(QDir(scratch.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList({QStringLiteral("file")}));
  EXPECT_EQ(QFileInfo(blocker).size(), 0);
}

TEST_F(SnapshotsTest, TheFourScenesShowWhatTheyAreFor) {
  const std::map<std::string, BridgeModel::Demo> scenes = scenesByName();
  ASSERT_EQ(scenes.size(), 4u);

  {
    BridgeModel model(scenes.at("wiki-pb-notice"), environment());
    MenuPanel panel(model);
    EXPECT_NE(find<QWidget>(panel, "notice"), nullptr);
    EXPECT_NE(find<QLabel>(panel, "versionLabel"), nullptr);
    for (const char* absent : {"attentionBox", "printerSection", "footer", "bottomLine"}) {
      EXPECT_EQ(find<QWidget>(panel, absent), nullptr) << absent;
    }
  }
  {
    BridgeModel model(scenes.at("wiki-pb-setup"), environment());
    MenuPanel panel(model);
    ASSERT_NE(find<QWidget>(panel, "attentionBox"), nullptr);
    ASSERT_NE(find<QPushButton>(panel, "setUpButton"), nullptr);
    EXPECT_EQ(find<QPushButton>(panel, "setUpButton")->text(), QStringLiteral("Set up…"));
    ASSERT_NE(find<QComboBox>(panel, "printerPicker"), nullptr);
    EXPECT_EQ(find<QComboBox>(panel, "printerPicker")->currentText(), QStringLiteral("SR-MK1"));
    EXPECT_EQ(text(panel, "statusLabel"), QStringLiteral("Not checked yet"));
    EXPECT_EQ(panel.state().statusColor, PanelState::Color::secondary);
    EXPECT_EQ(text(panel, "listeningLabel"), QStringLiteral("Not listening yet"));
  }
  {
    BridgeModel model(scenes.at("wiki-pb-no-printer"), environment());
    MenuPanel panel(model);
    EXPECT_EQ(find<QWidget>(panel, "attentionBox"), nullptr);
    EXPECT_TRUE(showsText(panel, PanelState::nonePairedText));
    EXPECT_NE(find<QPushButton>(panel, "openBluetoothButton"), nullptr);
    EXPECT_NE(find<QPushButton>(panel, "lookAgainButton"), nullptr);
    EXPECT_EQ(text(panel, "listeningLabel"), QStringLiteral("Kelm™ can reach this app"));
  }
  {
    BridgeModel model(scenes.at("wiki-pb-ready"), environment());
    MenuPanel panel(model);
    EXPECT_EQ(find<QWidget>(panel, "attentionBox"), nullptr);
    EXPECT_EQ(text(panel, "statusLabel"), QStringLiteral("Ready · 18 mm tape"));
    EXPECT_EQ(panel.state().statusColor, PanelState::Color::green);
    ASSERT_NE(find<QPushButton>(panel, "testPrintButton"), nullptr);
    EXPECT_TRUE(find<QPushButton>(panel, "testPrintButton")->isEnabled());
    ASSERT_NE(find<QCheckBox>(panel, "openAtLoginSwitch"), nullptr);
    EXPECT_TRUE(find<QCheckBox>(panel, "openAtLoginSwitch")->isChecked());
  }
}

TEST_F(SnapshotsTest, TheFixedValues) {
  const PrinterKit::PrinterStatus ready = Snapshots::ready18();
  EXPECT_EQ(ready.state, PrinterKit::PrinterStatus::State::ready);
  EXPECT_EQ(ready.problem, std::nullopt);
  EXPECT_EQ(ready.tapeMm, 18);

  const std::map<std::string, BridgeModel::Demo> scenes = scenesByName();
  const BridgeModel::CertState& cert = scenes.at("wiki-pb-ready").cert;
  EXPECT_EQ(cert.kind, CertKind::trusted);
  EXPECT_EQ(cert.until - now, std::chrono::seconds(25'920'000));
  EXPECT_EQ(scenes.at("wiki-pb-no-printer").cert, cert);
  const std::vector<PairedPrinter> demoPrinter = {{"SR-MK1", "fc-0f-e7-00-00-01"}};
  EXPECT_EQ(scenes.at("wiki-pb-setup").printers, demoPrinter);
  EXPECT_EQ(scenes.at("wiki-pb-ready").printers, demoPrinter);
}

TEST_F(SnapshotsTest, ADemoModelShowsItsDemoAndStartsNothing) {
  // A user whose settings and surroundings would make a normal model list, choose and listen.
  devices->add("SR-MK1", "AA:BB:CC:00:00:01");
  trustedCertificate(now);
  const QString settingsPath = QSettings().fileName();
  {
    QSettings settings;
    settings.setValue("printerAutoChosen", false);
  }
  ASSERT_TRUE(QFile::exists(settingsPath));
  const QByteArray storedSettings = [&] {
    QFile file(settingsPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }();
  loginItem->current = LoginItem::Status::enabled;

  const BridgeModel::Demo demo = scenesByName().at("wiki-pb-setup");
  BridgeModel model(demo, environment());
  QTcpSocket probe;
  for (int turn = 0; turn < 5; ++turn) QCoreApplication::processEvents();

  EXPECT_FALSE(model.hasServer());
  EXPECT_FALSE(model.serverRunning());
  probe.connectToHost(QStringLiteral("127.0.0.1"), port);
  EXPECT_FALSE(probe.waitForConnected(500));
  EXPECT_EQ(devices->listings, 0);
  EXPECT_TRUE(devices->made.empty());
  EXPECT_EQ(model.printers(), demo.printers);
  EXPECT_EQ(model.selected(), std::optional<std::string>("fc-0f-e7-00-00-01"));
  EXPECT_EQ(model.cert(), demo.cert);
  // The settings were read, as by any model, and left as they were.
  EXPECT_FALSE(model.autoChosen());
  EXPECT_FALSE(model.launchAtLogin());
  EXPECT_EQ(model.status(), std::nullopt);
  EXPECT_EQ(model.update(), std::nullopt);
  EXPECT_EQ(model.busy(), std::nullopt);
  EXPECT_EQ(model.lastMessage(), std::nullopt);
  QFile file(settingsPath);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), storedSettings);
}

TEST_F(SnapshotsTest, ADemoModelWritesNoSettingsInAFreshHome) {
  BridgeModel model(scenesByName().at("wiki-pb-ready"), environment());
  for (int turn = 0; turn < 5; ++turn) QCoreApplication::processEvents();
  EXPECT_TRUE(model.noticeAccepted());
  EXPECT_TRUE(model.launchAtLogin());
  EXPECT_EQ(model.status(), Snapshots::ready18());
  EXPECT_EQ(settingsFiles(), QStringList());
}

}  // namespace
}  // namespace KelmVododIdizor
