#pragma once

#include <memory>

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/IconWatch.h"

namespace KelmVododIdizor {

class MenuPanel;

// The tray application: owns the one model, puts the mark into the desktop's tray and opens the
// panel under it on a click, and keeps the mark's attention badge in step with the model.
//
// A desktop without a tray (GNOME without the AppIndicator extension) gets the panel in a small
// normal window instead, at start and on every second start, so that the user always has a way
// in; closing that window leaves the bridge running.
//
// Threads: the main thread only. REQUIRES: a QApplication exists.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  explicit AppDelegate(BridgeModel::Environment environment, QObject* parent = nullptr);
  ~AppDelegate() override;

  BridgeModel& model() { return *model_; }

  // Puts the mark into the tray, or opens the window when the desktop has no tray.
  void launched();
  // The tray icon's click: an open panel only closes; otherwise the printers are listed again,
  // the certificate re-read and the status refreshed, and the panel opens under the icon (at the
  // pointer when the tray says nothing of its place) with the keyboard focus.
  void toggle();
  // Brings the panel up wherever the user will see it: under the icon, or the window without a
  // tray. A second start of the program asks for this.
  void showPanel();

  // Whether the panel (popup or window) is shown now.
  bool panelShown() const;
  // The mark the tray shows now; false before the first update of the watch.
  bool badgeShown() const { return badge_; }
  bool hasTray() const { return tray_ != nullptr; }

 private:
  void setMark(bool problem);
  void refreshForOpening();
  void openPopup();
  void openWindow();
  bool eventFilter(QObject* watched, QEvent* event) override;

  std::unique_ptr<BridgeModel> model_;
  std::unique_ptr<QSystemTrayIcon> tray_;
  // The panel under the icon: a popup window that closes on a click elsewhere.
  std::unique_ptr<MenuPanel> popup_;
  // The panel in a normal window, for a desktop without a tray.
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<IconWatch> watch_;
  bool badge_ = false;
  // When the popup last closed: the click on the icon that closed it must not open it again.
  QElapsedTimer popupClosed_;
};

}  // namespace KelmVododIdizor
