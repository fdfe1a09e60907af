#include "KelmVododIdizor/MenuPanel.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>

#include "KelmVododIdizor/ModelFixture.h"
#include "KelmVododIdizor/PanelProbe.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {
namespace {

using PanelProbe::find;
using PanelProbe::text;

using TestSupport::runUntil;
using CertKind = BridgeModel::CertState::Kind;

// Browser trust that, once closed, keeps every trust call waiting (on the worker thread that makes
// it) until opened, so that a test sees the panel while a set-up is in progress.
class GatedTrust : public testing::FakeBrowserTrust {
 public:
  std::int32_t trust(std::span<const std::uint8_t> der, std::string_view name) override {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return open_; });
    return FakeBrowserTrust::trust(der, name);
  }
  void close() {
    std::lock_guard lock(mutex_);
    open_ = false;
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool open_ = true;
};

class MenuPanelTest : public testing::ModelFixture {
 protected:
  MenuPanelTest() {
    browserTrust = gate;
    stores.browserTrust = gate;
  }
  // A worker still waiting at the gate would outlive the test.
  ~MenuPanelTest() override { gate->open(); }

  // The model of a user who has accepted the notice.
  std::unique_ptr<BridgeModel> workingModel() {
    std::unique_ptr<BridgeModel> model = makeModel();
    model->setNoticeAccepted(true);
    return model;
  }

  std::shared_ptr<GatedTrust> gate = std::make_shared<GatedTrust>();
};

TEST_F(MenuPanelTest, AFirstRunShowsOnlyTheNoticeUntilContinued) {
  std::unique_ptr<BridgeModel> model = makeModel();
  MenuPanel panel(*model);
  EXPECT_EQ(panel.width(), MenuPanel::panelWidth);
  EXPECT_EQ(text(panel, "versionLabel"), QString::fromStdString("v" + model->version()));
  auto* accept = find<QPushButton>(panel, "continueButton");
  ASSERT_NE(accept, nullptr);
  for (const char* name :
       {"setUpButton", "renewButton", "printerPicker", "lookAgainButton", "testPrintButton",
        "openAtLoginSwitch", "openKelmButton", "moreButton"}) {
    EXPECT_EQ(panel.findChild<QWidget*>(QString::fromLatin1(name)), nullptr) << name;
  }

  accept->click();
  ASSERT_TRUE(runUntil([&] { return find<QPushButton>(panel, "openKelmButton") != nullptr; }));
  EXPECT_TRUE(model->noticeAccepted());
  EXPECT_EQ(find<QPushButton>(panel, "continueButton"), nullptr);
  EXPECT_NE(find<QPushButton>(panel, "setUpButton"), nullptr);
  EXPECT_NE(find<QToolButton>(panel, "moreButton"), nullptr);
  EXPECT_NE(find<QCheckBox>(panel, "openAtLoginSwitch"), nullptr);
}

TEST_F(MenuPanelTest, SetUpIsOfferedForAMissingCertificateAndDisabledWhileItRuns) {
  std::unique_ptr<BridgeModel> model = workingModel();
  MenuPanel panel(*model);
  auto* setUp = find<QPushButton>(panel, "setUpButton");
  ASSERT_NE(setUp, nullptr);
  EXPECT_EQ(setUp->text(), QStringLiteral("Set up…"));
  EXPECT_TRUE(setUp->isEnabled());
  EXPECT_TRUE(text(panel, "attentionText")
                  .startsWith(QString::fromStdString(model->webHost()) +
                              QStringLiteral(" talks to this app at https://127.0.0.1.")));

  gate->close();
  setUp->click();
  ASSERT_TRUE(runUntil([&] {
    auto* button = find<QPushButton>(panel, "setUpButton");
    return button != nullptr && !button->isEnabled();
  }));
  EXPECT_EQ(text(panel, "bottomLabel"), QStringLiteral("Trusting the certificate…"));

  gate->open();
  ASSERT_TRUE(runUntil([&] {
    return model->cert().kind == CertKind::trusted && !model->busy() &&
           find<QWidget>(panel, "attentionBox") == nullptr;
  }));
  EXPECT_EQ(find<QPushButton>(panel, "setUpButton"), nullptr);

  // The certificate's removal, from the "More" menu, brings the set-up back.
  auto* more = find<QToolButton>(panel, "moreButton");
  ASSERT_NE(more, nullptr);
  ASSERT_NE(more->menu(), nullptr);
  QAction* remove = nullptr;
  QStringList items;
  for (QAction* action : more->menu()->actions()) {
    items << action->text();
    if (action->text() == QStringLiteral("Remove the certificate")) remove = action;
  }
  EXPECT_EQ(items, QStringList({QStringLiteral("Remove the certificate"), QStringLiteral("Quit")}));
  ASSERT_NE(remove, nullptr);
  remove->trigger();
  ASSERT_TRUE(runUntil([&] { return find<QPushButton>(panel, "setUpButton") != nullptr; }));
  EXPECT_EQ(model->cert().kind, CertKind::missing);
}

TEST_F(MenuPanelTest, AnUntrustedCertificateIsOfferedTrust) {
  BridgeKit::LocalCertificate::create(now, stores);
  std::unique_ptr<BridgeModel> model = workingModel();
  ASSERT_EQ(model->cert().kind, CertKind::untrusted);
  MenuPanel panel(*model);
  auto* setUp = find<QPushButton>(panel, "setUpButton");
  ASSERT_NE(setUp, nullptr);
  EXPECT_EQ(setUp->text(), QStringLiteral("Trust the certificate…"));
}

TEST_F(MenuPanelTest, ThePickerListsThePairedPrintersAndChoosesTheOnePicked) {
  devices->add("SR-MK1", "FC:0F:E7:00:00:01");
  devices->add("SR-MK2", "FC:0F:E7:00:00:02");
  std::unique_ptr<BridgeModel> model = workingModel();
  MenuPanel panel(*model);
  ASSERT_TRUE(runUntil([&] {
    auto* testPrint = find<QPushButton>(panel, "testPrintButton");
    return testPrint != nullptr && testPrint->isEnabled();
  }));
  auto* picker = find<QComboBox>(panel, "printerPicker");
  ASSERT_NE(picker, nullptr);
  ASSERT_EQ(picker->count(), 2);
  EXPECT_EQ(picker->itemText(0), QStringLiteral("SR-MK1"));
  EXPECT_EQ(picker->itemText(1), QStringLiteral("SR-MK2"));
  EXPECT_EQ(picker->currentIndex(), 0);
  EXPECT_EQ(text(panel, "statusLabel"), QStringLiteral("Ready · 18 mm tape"));

  picker->setCurrentIndex(1);
  emit picker->activated(1);
  ASSERT_TRUE(runUntil([&] {
    auto* current = find<QComboBox>(panel, "printerPicker");
    return model->selected() == "FC:0F:E7:00:00:02" && !model->autoChosen() && model->status() &&
           current != nullptr && current->currentIndex() == 1;
  }));
}

TEST_F(MenuPanelTest, TestPrintStaysDisabledUntilATapeWidthIsKnown) {
  testing::SimulatedDevices::Device& device = devices->add("SR-MK1", "FC:0F:E7:00:00:01");
  device.printer.settings().tapeCode = 0xEE;
  std::unique_ptr<BridgeModel> model = workingModel();
  MenuPanel panel(*model);
  ASSERT_TRUE(runUntil([&] { return text(panel, "statusLabel") == "Ready · tape width unknown"; }));
  auto* testPrint = find<QPushButton>(panel, "testPrintButton");
  ASSERT_NE(testPrint, nullptr);
  EXPECT_FALSE(testPrint->isEnabled());

  device.printer.settings().tapeCode = 0x04;
  auto* refresh = find<QToolButton>(panel, "refreshButton");
  ASSERT_NE(refresh, nullptr);
  refresh->click();
  ASSERT_TRUE(runUntil([&] {
    auto* button = find<QPushButton>(panel, "testPrintButton");
    return button != nullptr && button->isEnabled();
  }));
  EXPECT_EQ(text(panel, "statusLabel"), QStringLiteral("Ready · 18 mm tape"));
}

TEST_F(MenuPanelTest, WithNoPrinterPairedTheBluetoothButtonsShareARowOnlyWhenTheyFit) {
  std::unique_ptr<BridgeModel> model = workingModel();
  MenuPanel panel(*model);
  panel.show();
  ASSERT_TRUE(runUntil([&] { return find<QPushButton>(panel, "lookAgainButton") != nullptr; }));
  const auto positions = [&panel] {
    const auto* settings = find<QPushButton>(panel, "openBluetoothButton");
    const auto* again = find<QPushButton>(panel, "lookAgainButton");
    EXPECT_NE(settings, nullptr);
    EXPECT_NE(again, nullptr);
    return std::pair(settings->mapTo(&panel, QPoint()), again->mapTo(&panel, QPoint()));
  };
  auto [settings, again] = positions();
  EXPECT_EQ(settings.y(), again.y());
  EXPECT_GT(again.x(), settings.x());

  QFont large = panel.font();
  large.setPointSizeF(28);
  panel.setFont(large);
  panel.rebuild();
  QCoreApplication::processEvents();
  std::tie(settings, again) = positions();
  EXPECT_EQ(settings.x(), again.x());
  EXPECT_GT(again.y(), settings.y());

  const int listings = devices->listings;
  find<QPushButton>(panel, "lookAgainButton")->click();
  ASSERT_TRUE(runUntil([&] { return devices->listings == listings + 1; }));
}

TEST(MenuPanelBluetoothSettings, TheCurrentDesktopsToolComesFirstThenAnyThatExists) {
  const QStringList gnome = {"gnome-control-center", "bluetooth"};
  const QStringList kde = {"systemsettings", "kcm_bluetooth"};
  const QStringList blueman = {"blueman-manager"};
  const std::set<QString> all = {"gnome-control-center", "systemsettings", "blueman-manager"};
  struct Case {
    QString desktops;
    std::set<QString> installed;
    std::optional<QStringList> command;
  };
  const Case cases[] = {
      {"KDE", all, kde},
      {"ubuntu:GNOME", all, gnome},
      {"XFCE", all, blueman},
      {"X-Generic:KDE", all, kde},
      {"KDE", {"blueman-manager"}, blueman},
      {"", all, gnome},
      {"", {"systemsettings"}, kde},
      {"GNOME", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto exists = [&c](const QString& program) { return c.installed.contains(program); };
    EXPECT_EQ(MenuPanel::bluetoothSettingsCommand(c.desktops, exists), c.command)
        << c.desktops.toStdString();
  }
}

}  // namespace
}  // namespace KelmVododIdizor
