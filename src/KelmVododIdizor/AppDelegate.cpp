#include "KelmVododIdizor/AppDelegate.h"

#include <utility>

#include <QApplication>
#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPalette>
#include <QScreen>
#include <QVBoxLayout>

#include "Async/Async.h"
#include "KelmVododIdizor/MenuBarMark.h"
#include "KelmVododIdizor/MenuPanel.h"

namespace KelmVododIdizor {

namespace {

// A click on the icon that comes this soon after the popup closed is the click that closed it.
constexpr qint64 closingClickMs = 300;

QColor markColor() { return QGuiApplication::palette().color(QPalette::WindowText); }

// The window of a desktop without a tray: closing it hides it, once with a word on how to get it
// back, and the bridge goes on running.
class PanelWindow : public QWidget {
 public:
  explicit PanelWindow(BridgeModel& model) {
    setWindowTitle(QStringLiteral("Kelm™ Vodod Idizor"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new MenuPanel(model, this));
    layout->setSizeConstraint(QLayout::SetFixedSize);
  }

 protected:
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    hide();
    if (told_) return;
    told_ = true;
    QMessageBox::information(
        nullptr, QStringLiteral("Kelm™ Vodod Idizor"),
        QStringLiteral("Kelm™ Vodod Idizor keeps running, so that Kelm™ can print. Open "
                       "Kelm™ Vodod Idizor again from the applications menu to see this "
                       "window."));
  }

 private:
  bool told_ = false;
};

}  // namespace

AppDelegate::AppDelegate(BridgeModel::Environment environment, QObject* parent)
    : QObject(parent), model_(std::make_unique<BridgeModel>(std::move(environment))) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::launched() {
  watch_ = std::make_unique<IconWatch>(*model_);
  connect(watch_.get(), &IconWatch::iconChanged, this, [this](bool problem) { setMark(problem); });
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    openWindow();
    return;
  }
  popup_ = std::make_unique<MenuPanel>(*model_);
  popup_->setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  popup_->installEventFilter(this);
  tray_ = std::make_unique<QSystemTrayIcon>();
  setMark(false);
  connect(tray_.get(), &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
              toggle();
            }
          });
  tray_->show();
}

void AppDelegate::setMark(bool problem) {
  badge_ = problem;
  if (!tray_) return;
  tray_->setIcon(MenuBarMark::icon(problem, markColor()));
  tray_->setToolTip(MenuBarMark::accessibleName(problem));
}

void AppDelegate::refreshForOpening() {
  model_->reloadPrinters();
  model_->refreshCertificate();
  Async::start(model_.get(), [model = model_.get()] { return model->refreshStatus(); });
}

void AppDelegate::toggle() {
  if (!popup_) {
    showPanel();
    return;
  }
  if (popup_->isVisible()) {
    popup_->hide();
    return;
  }
  if (popupClosed_.isValid() && popupClosed_.elapsed() < closingClickMs) return;
  openPopup();
}

void AppDelegate::openPopup() {
  refreshForOpening();
  popup_->fitContents();
  const QRect icon = tray_ ? tray_->geometry() : QRect();
  QPoint at = icon.isValid() ? QPoint(icon.left(), icon.bottom() + 1) : QCursor::pos();
  if (const QScreen* screen = QGuiApplication::screenAt(at)) {
    const QRect room = screen->availableGeometry();
    // Below the icon when there is room, above it otherwise (a tray at the bottom).
    if (at.y() + popup_->height() > room.bottom() && icon.isValid()) {
      at.setY(icon.top() - popup_->height());
    }
    at.setX(std::clamp(at.x(), room.left(), std::max(room.left(), room.right() - popup_->width())));
    at.setY(std::clamp(at.y(), room.top(), std::max(room.top(), room.bottom() - popup_->height())));
  }
  popup_->move(at);
  popup_->show();
  popup_->raise();
  popup_->activateWindow();
}

void AppDelegate::showPanel() {
  if (!popup_) {
    openWindow();
    return;
  }
  if (!popup_->isVisible()) openPopup();
}

bool AppDelegate::panelShown() const {
  return (popup_ && popup_->isVisible()) || (window_ && window_->isVisible());
}

void AppDelegate::openWindow() {
  if (!window_) window_ = std::make_unique<PanelWindow>(*model_);
  refreshForOpening();
  window_->show();
  window_->raise();
  window_->activateWindow();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  if (watched == popup_.get() && event->type() == QEvent::Hide) popupClosed_.start();
  return QObject::eventFilter(watched, event);
}

}  // namespace KelmVododIdizor
