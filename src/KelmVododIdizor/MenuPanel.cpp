#include "KelmVododIdizor/MenuPanel.h"

#include <array>
#include <utility>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtGlobal>

#include "Async/Async.h"

namespace KelmVododIdizor {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

// The platform's text styles, relative to the panel's font.
enum class TextStyle { headline, subheadline, callout, caption, smallestCaption };

QFont fontFor(const QFont& base, TextStyle style) {
  QFont font = base;
  double scale = 1.0;
  switch (style) {
    case TextStyle::headline:
      font.setWeight(QFont::Bold);
      break;
    case TextStyle::subheadline:
      scale = 0.92;
      font.setWeight(QFont::DemiBold);
      break;
    case TextStyle::callout:
      scale = 0.95;
      break;
    case TextStyle::caption:
      scale = 0.85;
      break;
    case TextStyle::smallestCaption:
      scale = 0.75;
      font.setWeight(QFont::DemiBold);
      break;
  }
  if (base.pointSizeF() > 0) {
    font.setPointSizeF(base.pointSizeF() * scale);
  } else {
    font.setPixelSize(qMax(1, qRound(base.pixelSize() * scale)));
  }
  return font;
}

bool isDark(const QPalette& palette) { return palette.color(QPalette::Window).lightness() < 128; }

QColor colorFor(PanelState::Color color, const QPalette& palette) {
  switch (color) {
    case PanelState::Color::orange:
      return isDark(palette) ? QColor(255, 159, 10) : QColor(255, 149, 0);
    case PanelState::Color::green:
      return isDark(palette) ? QColor(48, 209, 88) : QColor(52, 199, 89);
    case PanelState::Color::secondary:
      break;
  }
  return palette.color(QPalette::PlaceholderText);
}

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, color);
  palette.setColor(QPalette::ButtonText, color);
  widget->setPalette(palette);
}

QLabel* makeLabel(QWidget* parent, const std::string& text, TextStyle style,
                  std::optional<PanelState::Color> color = std::nullopt, bool wrap = false) {
  auto* label = new QLabel(qs(text), parent);
  label->setTextFormat(Qt::PlainText);
  label->setFont(fontFor(parent->font(), style));
  label->setWordWrap(wrap);
  if (color) setTextColor(label, colorFor(*color, parent->palette()));
  return label;
}

QPushButton* makeButton(QWidget* parent, const std::string& text, const char* name,
                        bool enabled = true) {
  auto* button = new QPushButton(qs(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setEnabled(enabled);
  return button;
}

QIcon themeIcon(const char* name, QStyle::StandardPixmap fallback, const QWidget* widget) {
  return QIcon::fromTheme(QString::fromLatin1(name), widget->style()->standardIcon(fallback));
}

// A label with a leading icon, as one row.
QWidget* iconRow(QWidget* parent, const QIcon& icon, QLabel* label) {
  auto* row = new QWidget(parent);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(MenuPanel::innerSpacing);
  label->setParent(row);
  if (!icon.isNull()) {
    auto* image = new QLabel(row);
    const int side = label->fontMetrics().height();
    image->setPixmap(icon.pixmap(side, side));
    layout->addWidget(image, 0, Qt::AlignTop);
  }
  layout->addWidget(label, 1);
  return row;
}

QVBoxLayout* column(QWidget* widget, int spacing, int margin = 0) {
  auto* layout = new QVBoxLayout(widget);
  layout->setContentsMargins(margin, margin, margin, margin);
  layout->setSpacing(spacing);
  return layout;
}

QHBoxLayout* row(QWidget* widget) {
  auto* layout = new QHBoxLayout(widget);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(MenuPanel::innerSpacing);
  return layout;
}

class Dot : public QWidget {
 public:
  Dot(QColor color, QWidget* parent) : QWidget(parent), color_(std::move(color)) {
    setFixedSize(MenuPanel::dotSize, MenuPanel::dotSize);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(color_);
    painter.drawEllipse(rect());
  }

 private:
  QColor color_;
};

// Its contents on a rounded rectangle filled with orange, faintly.
class AttentionBox : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    QColor fill = colorFor(PanelState::Color::orange, palette());
    fill.setAlphaF(static_cast<float>(MenuPanel::attentionOpacity));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(rect()), MenuPanel::attentionRadius, MenuPanel::attentionRadius);
  }
};

// "beta" on a capsule filled with the accent colour, faintly.
class Badge : public QLabel {
 public:
  Badge(const QString& text, QWidget* parent) : QLabel(text, parent) {
    setContentsMargins(6, 2, 6, 2);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    {
      QPainter painter(this);
      painter.setRenderHint(QPainter::Antialiasing);
      painter.setPen(Qt::NoPen);
      QColor fill = palette().color(QPalette::Highlight);
      fill.setAlphaF(0.18f);
      painter.setBrush(fill);
      const double radius = height() / 2.0;
      painter.drawRoundedRect(QRectF(rect()), radius, radius);
    }
    QLabel::paintEvent(event);
  }
};

// An indeterminate progress indicator: twelve spokes, the bright one turning.
class Spinner : public QWidget {
 public:
  explicit Spinner(QWidget* parent) : QWidget(parent) {
    setFixedSize(14, 14);
    timer_.setInterval(80);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      step_ = (step_ + 1) % spokes;
      update();
    });
    timer_.start();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(width() / 2.0, height() / 2.0);
    const double outer = width() / 2.0;
    QColor color = palette().color(QPalette::WindowText);
    for (int i = 0; i < spokes; ++i) {
      color.setAlphaF(
          static_cast<float>(0.15 + 0.85 * ((i - step_ + spokes) % spokes) / double{spokes}));
      painter.setPen(QPen(color, 1.5, Qt::SolidLine, Qt::RoundCap));
      painter.drawLine(QPointF(0, -outer * 0.45), QPointF(0, -outer * 0.95));
      painter.rotate(360.0 / spokes);
    }
  }

 private:
  static constexpr int spokes = 12;
  QTimer timer_;
  int step_ = 0;
};

}  // namespace

MenuPanel::MenuPanel(BridgeModel& model, QWidget* parent) : QWidget(parent), model_(model) {
  setFixedWidth(panelWidth);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  rebuildTimer_.setSingleShot(true);
  rebuildTimer_.setInterval(0);
  connect(&rebuildTimer_, &QTimer::timeout, this, &MenuPanel::rebuild);
  connect(&model_, &BridgeModel::changed, this, &MenuPanel::scheduleRebuild);
  rebuild();
}

void MenuPanel::scheduleRebuild() {
  if (!rebuildTimer_.isActive()) rebuildTimer_.start();
}

void MenuPanel::start(std::function<QCoro::Task<>()> operation) {
  QPointer<MenuPanel> self(this);
  Async::start(&model_, [self, operation = std::move(operation)]() -> QCoro::Task<> {
    QCoro::Task<> running = operation();
    co_await running;
    if (self) self->scheduleRebuild();
  });
}

void MenuPanel::startNow(std::function<void(BridgeModel&)> operation) {
  BridgeModel* model = &model_;
  start([model, operation = std::move(operation)]() -> QCoro::Task<> {
    operation(*model);
    co_return;
  });
}

void MenuPanel::rebuild() {
  rebuildTimer_.stop();
  state_ = PanelState::compute(PanelState::Inputs::from(model_));
  if (contents_ != nullptr) {
    // Deleted later: the old contents may be inside one of their own signals.
    layout()->removeWidget(contents_);
    contents_->hide();
    contents_->setParent(nullptr);
    contents_->deleteLater();
  }
  contents_ = new QWidget(this);
  contents_->setObjectName(QStringLiteral("contents"));
  QVBoxLayout* parts = column(contents_, partSpacing, padding);

  parts->addWidget(buildHeader());
  if (state_.updateText) {
    QPushButton* update = makeButton(contents_, *state_.updateText, "updateButton");
    update->setFlat(true);
    update->setCursor(Qt::PointingHandCursor);
    update->setIcon(themeIcon("download", QStyle::SP_ArrowDown, this));
    setTextColor(update, palette().color(QPalette::Link));
    const QUrl url = state_.updateURL;
    connect(update, &QPushButton::clicked, this, [url] { QDesktopServices::openUrl(url); });
    parts->addWidget(update, 0, Qt::AlignLeft);
  }
  if (state_.showsDiskImageWarning) {
    QLabel* warning = makeLabel(contents_, PanelState::diskImageWarning, TextStyle::caption,
                                PanelState::Color::orange, true);
    parts->addWidget(iconRow(
        contents_, themeIcon("drive-harddisk", QStyle::SP_MessageBoxWarning, this), warning));
  }
  if (state_.showsNotice) {
    parts->addWidget(buildNotice());
  } else {
    if (state_.attention != PanelState::Attention::none) parts->addWidget(buildAttention());
    parts->addWidget(buildPrinterSection());
    auto* divider = new QFrame(contents_);
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    parts->addWidget(divider);
    parts->addWidget(buildFooter());
  }
  if (QWidget* bottom = buildBottomLine()) parts->addWidget(bottom);
  // Height the wrapped texts leave over goes below the parts, not between them.
  parts->addStretch(1);

  layout()->addWidget(contents_);
  contents_->show();
  fitContents();
}

void MenuPanel::fitContents() {
  // The wrapped texts decide the height at the panel's fixed width; a plain size hint would
  // wrap them narrower and leave the panel taller than its parts.
  if (layout()->hasHeightForWidth()) {
    resize(panelWidth, layout()->totalHeightForWidth(panelWidth));
  } else {
    adjustSize();
  }
}

QWidget* MenuPanel::buildHeader() {
  auto* header = new QWidget(contents_);
  QHBoxLayout* layout = row(header);
  layout->addWidget(makeLabel(header, PanelState::title, TextStyle::headline), 0, Qt::AlignVCenter);
  auto* badge = new Badge(QStringLiteral("beta"), header);
  badge->setFont(fontFor(header->font(), TextStyle::smallestCaption));
  layout->addWidget(badge, 0, Qt::AlignVCenter);
  layout->addStretch(1);
  QLabel* version =
      makeLabel(header, state_.versionText, TextStyle::caption, PanelState::Color::secondary);
  version->setObjectName(QStringLiteral("versionLabel"));
  layout->addWidget(version, 0, Qt::AlignVCenter);
  return header;
}

QWidget* MenuPanel::buildNotice() {
  auto* notice = new QWidget(contents_);
  notice->setObjectName(QStringLiteral("notice"));
  QVBoxLayout* layout = column(notice, sectionSpacing);
  layout->addWidget(makeLabel(notice, PanelState::noticeLead, TextStyle::callout, {}, true));
  layout->addWidget(makeLabel(notice, PanelState::noticeText, TextStyle::caption,
                              PanelState::Color::secondary, true));
  QPushButton* accept = makeButton(notice, "Continue", "continueButton");
  accept->setDefault(true);
  const auto proceed = [this] {
    startNow([](BridgeModel& model) { model.setNoticeAccepted(true); });
  };
  connect(accept, &QPushButton::clicked, this, proceed);
  // The default button answers the Return key outside dialogs too.
  for (const int key : {Qt::Key_Return, Qt::Key_Enter}) {
    auto* shortcut = new QShortcut(QKeySequence(key), notice);
    connect(shortcut, &QShortcut::activated, accept, &QPushButton::click);
  }
  layout->addWidget(accept, 0, Qt::AlignLeft);
  return notice;
}

QWidget* MenuPanel::buildAttention() {
  const bool renewal = state_.attention == PanelState::Attention::renewal;
  auto* box = new AttentionBox(contents_);
  box->setObjectName(QStringLiteral("attentionBox"));
  QVBoxLayout* layout = column(box, innerSpacing, attentionPadding);

  auto* text = new QWidget(box);
  QVBoxLayout* textLayout = column(text, innerSpacing);
  const QIcon icon = renewal ? themeIcon("appointment-soon", QStyle::SP_MessageBoxWarning, this)
                             : themeIcon("security-high", QStyle::SP_MessageBoxInformation, this);
  textLayout->addWidget(
      iconRow(text, icon, makeLabel(text, state_.attentionTitle, TextStyle::subheadline)));
  QLabel* explanation =
      makeLabel(text, state_.attentionText, TextStyle::caption, PanelState::Color::secondary, true);
  explanation->setObjectName(QStringLiteral("attentionText"));
  textLayout->addWidget(explanation);
  layout->addWidget(text);

  QPushButton* setUp =
      makeButton(box, state_.attentionButton.text, renewal ? "renewButton" : "setUpButton",
                 state_.attentionButton.enabled);
  connect(setUp, &QPushButton::clicked, this, [this] {
    BridgeModel* model = &model_;
    start([model] { return model->setUpCertificate(); });
  });
  layout->addWidget(setUp, 0, Qt::AlignLeft);
  return box;
}

QWidget* MenuPanel::buildPrinterSection() {
  auto* section = new QWidget(contents_);
  section->setObjectName(QStringLiteral("printerSection"));
  QVBoxLayout* layout = column(section, sectionSpacing);
  BridgeModel* model = &model_;

  if (state_.printerForm == PanelState::PrinterForm::looking) {
    layout->addWidget(makeLabel(section, PanelState::lookingText, TextStyle::callout,
                                PanelState::Color::secondary, true));
    return section;
  }

  if (state_.printerForm == PanelState::PrinterForm::nonePaired) {
    layout->addWidget(makeLabel(section, PanelState::nonePairedText, TextStyle::callout, {}, true));
    auto* buttons = new QWidget(section);
    QPushButton* settings = makeButton(buttons, "Open Bluetooth Settings", "openBluetoothButton");
    QPushButton* again = makeButton(buttons, "Look again", "lookAgainButton");
    connect(settings, &QPushButton::clicked, this, &MenuPanel::openBluetoothSettings);
    connect(again, &QPushButton::clicked, this,
            [this] { startNow([](BridgeModel& m) { m.reloadPrinters(); }); });
    const int available = panelWidth - 2 * padding;
    const bool sideBySide =
        settings->sizeHint().width() + innerSpacing + again->sizeHint().width() <= available;
    QBoxLayout* buttonLayout = sideBySide ? static_cast<QBoxLayout*>(row(buttons))
                                          : static_cast<QBoxLayout*>(column(buttons, innerSpacing));
    buttonLayout->addWidget(settings, 0, Qt::AlignLeft);
    buttonLayout->addWidget(again, 0, Qt::AlignLeft);
    if (sideBySide) buttonLayout->addStretch(1);
    layout->addWidget(buttons);
    return section;
  }

  auto* pickerRow = new QWidget(section);
  QHBoxLayout* pickerLayout = row(pickerRow);
  QLabel* pickerLabel = makeLabel(pickerRow, "Printer", TextStyle::callout);
  auto* picker = new QComboBox(pickerRow);
  picker->setObjectName(QStringLiteral("printerPicker"));
  pickerLabel->setBuddy(picker);
  for (const PairedPrinter& printer : state_.pickerOptions) {
    picker->addItem(qs(printer.name), qs(printer.address));
  }
  picker->setCurrentIndex(state_.pickerIndex);
  picker->setEnabled(state_.pickerEnabled);
  // activated: the user's choices only, not the index set above.
  connect(picker, &QComboBox::activated, this, [this, model, picker](int index) {
    if (index < 0) return;
    const std::string address = picker->itemData(index).toString().toStdString();
    start([model, address] { return model->choosePrinter(address); });
  });
  pickerLayout->addWidget(pickerLabel);
  pickerLayout->addWidget(picker, 1);
  layout->addWidget(pickerRow);

  auto* statusRow = new QWidget(section);
  QHBoxLayout* statusLayout = row(statusRow);
  statusLayout->addWidget(new Dot(colorFor(state_.statusColor, palette()), statusRow), 0,
                          Qt::AlignVCenter);
  QLabel* statusLabel = makeLabel(statusRow, state_.statusText, TextStyle::callout);
  statusLabel->setObjectName(QStringLiteral("statusLabel"));
  statusLayout->addWidget(statusLabel, 0, Qt::AlignVCenter);
  statusLayout->addStretch(1);
  auto* refresh = new QToolButton(statusRow);
  refresh->setObjectName(QStringLiteral("refreshButton"));
  refresh->setAutoRaise(true);
  refresh->setIcon(themeIcon("view-refresh", QStyle::SP_BrowserReload, this));
  refresh->setToolTip(QStringLiteral("Check the printer"));
  refresh->setEnabled(state_.refreshEnabled);
  connect(refresh, &QToolButton::clicked, this,
          [this, model] { start([model] { return model->refreshStatus(); }); });
  statusLayout->addWidget(refresh, 0, Qt::AlignVCenter);
  layout->addWidget(statusRow);

  QPushButton* testPrint =
      makeButton(section, "Print a test label", "testPrintButton", state_.testPrintEnabled);
  connect(testPrint, &QPushButton::clicked, this,
          [this, model] { start([model] { return model->testPrint(); }); });
  layout->addWidget(testPrint, 0, Qt::AlignLeft);
  return section;
}

QWidget* MenuPanel::buildFooter() {
  auto* footer = new QWidget(contents_);
  footer->setObjectName(QStringLiteral("footer"));
  QVBoxLayout* layout = column(footer, innerSpacing);
  BridgeModel* model = &model_;

  auto* listening = new QWidget(footer);
  QHBoxLayout* listeningLayout = row(listening);
  listeningLayout->addWidget(new Dot(colorFor(state_.listeningColor, palette()), listening), 0,
                             Qt::AlignVCenter);
  QLabel* listeningLabel =
      makeLabel(listening, state_.listeningText, TextStyle::caption, PanelState::Color::secondary);
  listeningLabel->setObjectName(QStringLiteral("listeningLabel"));
  listeningLayout->addWidget(listeningLabel, 0, Qt::AlignVCenter);
  listeningLayout->addStretch(1);
  layout->addWidget(listening);

  auto* atLogin = new QCheckBox(QStringLiteral("Open at login"), footer);
  atLogin->setObjectName(QStringLiteral("openAtLoginSwitch"));
  atLogin->setFont(fontFor(footer->font(), TextStyle::callout));
  atLogin->setChecked(state_.openAtLoginOn);
  atLogin->setEnabled(state_.openAtLoginEnabled);
  // clicked: the user's flips only, not the position set above.
  connect(atLogin, &QCheckBox::clicked, this,
          [this](bool on) { startNow([on](BridgeModel& m) { m.setLaunchAtLogin(on); }); });
  layout->addWidget(atLogin, 0, Qt::AlignLeft);

  auto* actions = new QWidget(footer);
  QHBoxLayout* actionsLayout = row(actions);
  QPushButton* openKelm = makeButton(actions, "Open Kelm™", "openKelmButton");
  const QUrl home = state_.homeURL;
  connect(openKelm, &QPushButton::clicked, this, [home] { QDesktopServices::openUrl(home); });
  actionsLayout->addWidget(openKelm);
  actionsLayout->addStretch(1);
  auto* more = new QToolButton(actions);
  more->setObjectName(QStringLiteral("moreButton"));
  more->setText(QStringLiteral("More"));
  more->setPopupMode(QToolButton::InstantPopup);
  more->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  auto* menu = new QMenu(more);
  menu->setObjectName(QStringLiteral("moreMenu"));
  connect(menu->addAction(QStringLiteral("Remove the certificate")), &QAction::triggered, this,
          [this, model] { start([model] { return model->removeCertificate(); }); });
  connect(menu->addAction(QStringLiteral("Quit")), &QAction::triggered, this,
          [] { QCoreApplication::quit(); });
  more->setMenu(menu);
  actionsLayout->addWidget(more);
  layout->addWidget(actions);
  return footer;
}

QWidget* MenuPanel::buildBottomLine() {
  if (state_.bottomLine == PanelState::BottomLine::none) return nullptr;
  auto* bottom = new QWidget(contents_);
  bottom->setObjectName(QStringLiteral("bottomLine"));
  QHBoxLayout* layout = row(bottom);
  const bool busy = state_.bottomLine == PanelState::BottomLine::busy;
  if (busy) layout->addWidget(new Spinner(bottom), 0, Qt::AlignVCenter);
  QLabel* text =
      makeLabel(bottom, state_.bottomText, TextStyle::callout,
                busy ? std::nullopt : std::optional(PanelState::Color::secondary), !busy);
  text->setObjectName(QStringLiteral("bottomLabel"));
  layout->addWidget(text, 1, Qt::AlignVCenter);
  return bottom;
}

void MenuPanel::openBluetoothSettings() {
  const std::optional<QStringList> command = bluetoothSettingsCommand(
      qEnvironmentVariable("XDG_CURRENT_DESKTOP"),
      [](const QString& program) { return !QStandardPaths::findExecutable(program).isEmpty(); });
  if (!command) return;
  QProcess::startDetached(command->first(), command->mid(1));
}

std::optional<QStringList> MenuPanel::bluetoothSettingsCommand(
    const QString& currentDesktops, const std::function<bool(const QString&)>& exists) {
  struct Tool {
    QStringList desktops;
    QStringList command;
  };
  const std::array<Tool, 3> tools = {{
      {{"GNOME", "Unity", "Budgie"}, {"gnome-control-center", "bluetooth"}},
      {{"KDE"}, {"systemsettings", "kcm_bluetooth"}},
      {{"XFCE", "MATE", "LXDE", "LXQt", "X-Cinnamon"}, {"blueman-manager"}},
  }};
  for (const QString& desktop : currentDesktops.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
    for (const Tool& tool : tools) {
      if (tool.desktops.contains(desktop, Qt::CaseInsensitive) && exists(tool.command.first())) {
        return tool.command;
      }
    }
  }
  for (const Tool& tool : tools) {
    if (exists(tool.command.first())) return tool.command;
  }
  return std::nullopt;
}

}  // namespace KelmVododIdizor
