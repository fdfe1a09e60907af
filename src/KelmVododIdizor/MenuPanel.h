#pragma once

#include <functional>
#include <optional>

#include <QCoroTask>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/PanelState.h"

namespace KelmVododIdizor {

// The panel under the tray icon: a view of the model, laid out as PanelState says. It holds no
// state of its own: its contents are built anew from the model shortly after every change the
// model announces (changes that come in a burst give one rebuild). Its controls start the model's
// operations on the event loop and never wait for them, so a click returns at once.
//
// The interactive widgets carry object names ("continueButton", "setUpButton", "renewButton",
// "printerPicker", "refreshButton", "testPrintButton", "openAtLoginSwitch", "openKelmButton",
// "moreButton", "lookAgainButton", "openBluetoothButton", "updateButton").
//
// Threads: the main thread only.
class MenuPanel : public QWidget {
  Q_OBJECT

 public:
  static constexpr int panelWidth = 320;
  static constexpr int padding = 14;
  static constexpr int partSpacing = 12;
  // Inside the notice and the printer section.
  static constexpr int sectionSpacing = 8;
  // Inside the attention box, the certificate text block, the footer and its rows.
  static constexpr int innerSpacing = 6;
  static constexpr int attentionPadding = 10;
  static constexpr double attentionRadius = 8.0;
  static constexpr double attentionOpacity = 0.1;
  static constexpr int dotSize = 8;

  // Builds the contents for the model's current state.
  // REQUIRES: the model outlives the panel; a QApplication exists.
  explicit MenuPanel(BridgeModel& model, QWidget* parent = nullptr);

  // Builds the contents now from the model's current state, dropping the previous ones.
  void rebuild();
  // Takes the height its contents need at the panel's width.
  void fitContents();
  // What the contents show.
  const PanelState& state() const { return state_; }

  // The program and arguments that open the desktop's Bluetooth settings: the tool of a desktop
  // named in `currentDesktops` (XDG_CURRENT_DESKTOP, names separated by ':') first, in that
  // order, then any of gnome-control-center, systemsettings and blueman-manager; only programs
  // for which `exists` holds. Empty when there is none.
  static std::optional<QStringList> bluetoothSettingsCommand(
      const QString& currentDesktops, const std::function<bool(const QString&)>& exists);

 private:
  void scheduleRebuild();
  // Starts `operation` on the event loop, not waiting for it, and rebuilds once it has ended,
  // so that a control the user moved shows the model's value even when nothing changed.
  void start(std::function<QCoro::Task<>()> operation);
  // The model's synchronous `operation`, run the same way.
  void startNow(std::function<void(BridgeModel&)> operation);

  QWidget* buildHeader();
  QWidget* buildNotice();
  QWidget* buildAttention();
  QWidget* buildPrinterSection();
  QWidget* buildFooter();
  QWidget* buildBottomLine();
  void openBluetoothSettings();

  BridgeModel& model_;
  PanelState state_;
  QWidget* contents_ = nullptr;
  QTimer rebuildTimer_;
};

}  // namespace KelmVododIdizor
