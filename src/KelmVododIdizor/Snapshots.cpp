#include "KelmVododIdizor/Snapshots.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>

#include <QApplication>
#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QSaveFile>
#include <QStyle>
#include <QStyleFactory>
#include <QVBoxLayout>
#include <QWidget>

#include "Base/Require.h"
#include "KelmVododIdizor/LoginItem.h"
#include "KelmVododIdizor/MenuPanel.h"
#include "KelmVododIdizor/PrinterDirectory.h"
#include "PrinterKit/SPPPrinterFailure.h"

namespace KelmVododIdizor {

namespace {

using PrinterKit::PrinterStatus;

// The pictures' login item: never registered, and it refuses to change.
class NoLoginItem : public LoginItem {
 public:
  Status status() const override { return Status::notRegistered; }
  void registerItem() override { throw Error("pictures of the panel change no login item"); }
  void unregisterItem() override { throw Error("pictures of the panel change no login item"); }
};

// The pictures' printers: none paired, and an engine for any address that fails without trying.
class NoPrinters : public PrinterDirectory {
 public:
  QCoro::Task<std::vector<PairedPrinter>> pairedPrinters() override { co_return {}; }
  std::shared_ptr<PrinterKit::SPPPrinter> engine(const std::string& address,
                                                 std::optional<std::string> name) override {
    return unreachableEngine(address, std::move(name),
                             PrinterKit::SPPPrinterFailure::notPaired(address));
  }
};

BridgeModel::Environment demoEnvironment() {
  BridgeModel::Environment environment;
  environment.loginItem = std::make_shared<NoLoginItem>();
  environment.printers = std::make_shared<NoPrinters>();
  environment.programPath = QCoreApplication::applicationFilePath().toStdString();
  environment.serves = false;
  environment.certificateWatchInterval = 0;
  return environment;
}

constexpr double cornerRadius = 12.0;
constexpr double borderOpacity = 0.14;
// Transparent, around the rounded rectangle.
constexpr int framePadding = 1;
// Pictures are drawn at this many pixels per widget pixel, whatever the screen's own ratio.
constexpr int pixelRatio = 2;

// The panel on a rounded rectangle of the palette's window colour, with a faint border inside
// its edge and a transparent margin around it. It reports a device pixel ratio of `pixelRatio`,
// so that grab() draws it at that ratio on any screen, offscreen included. It is never shown:
// grab() lays out and draws a hidden widget all the same, so no window appears anywhere.
class FramedPanel : public QWidget {
 public:
  FramedPanel(BridgeModel& model, const QPalette& palette) {
    // Outside the rounded rectangle the picture stays transparent.
    setAttribute(Qt::WA_TranslucentBackground);
    // Set before the panel is made, so that the panel draws its colours from it.
    setPalette(palette);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(framePadding, framePadding, framePadding, framePadding);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(new MenuPanel(model, this));
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape =
        QRectF(rect()).adjusted(framePadding, framePadding, -framePadding, -framePadding);
    painter.setPen(Qt::NoPen);
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(shape, cornerRadius, cornerRadius);
    // A 1-pixel pen on a path half a pixel inside the shape covers exactly its outermost pixels.
    QColor border = palette().color(QPalette::WindowText);
    border.setAlphaF(static_cast<float>(borderOpacity));
    painter.setPen(QPen(border, 1.0));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius - 0.5,
                            cornerRadius - 0.5);
  }

  int metric(PaintDeviceMetric metric) const override {
    switch (metric) {
      case PdmDevicePixelRatio:
        return pixelRatio;
      case PdmDevicePixelRatioScaled:
        return static_cast<int>(pixelRatio * devicePixelRatioFScale());
      default:
        return QWidget::metric(metric);
    }
  }
};

QPalette darkPalette() {
  const QColor window(40, 40, 42);
  const QColor base(62, 62, 66);
  const QColor button(58, 58, 60);
  const QColor text(236, 236, 238);
  const QColor disabledText(118, 118, 122);
  QPalette palette(button, window);
  palette.setColor(QPalette::Window, window);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, QColor(48, 48, 50));
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, button);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, Qt::white);
  palette.setColor(QPalette::Light, QColor(84, 84, 88));
  palette.setColor(QPalette::Midlight, QColor(70, 70, 74));
  palette.setColor(QPalette::Mid, QColor(46, 46, 48));
  palette.setColor(QPalette::Dark, QColor(22, 22, 24));
  palette.setColor(QPalette::Shadow, QColor(0, 0, 0));
  palette.setColor(QPalette::Highlight, QColor(10, 132, 255));
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Link, QColor(100, 170, 255));
  palette.setColor(QPalette::LinkVisited, QColor(180, 140, 255));
  palette.setColor(QPalette::ToolTipBase, button);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::PlaceholderText, QColor(160, 160, 166));
  for (const QPalette::ColorRole role :
       {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::PlaceholderText}) {
    palette.setColor(QPalette::Disabled, role, disabledText);
  }
  palette.setColor(QPalette::Disabled, QPalette::Button, QColor(48, 48, 50));
  palette.setColor(QPalette::Disabled, QPalette::Highlight, QColor(70, 70, 74));
  return palette;
}

// Done before a grab: the panel's deferred work (layout requests, a scheduled rebuild) happens
// in posted events and zero timers.
void settle() {
  for (int turn = 0; turn < 3; ++turn) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
  }
}

}  // namespace

PrinterStatus Snapshots::ready18() {
  // The header, four bytes the decoder does not read, state 00 (ready), problem 00 (none), tape
  // 04 (18 mm), and zeros to the reply's length.
  std::array<std::uint8_t, PrinterStatus::replyLength> reply{};
  constexpr std::array<std::uint8_t, 7> body = {0x50, 0x00, 0x3B, 0x4E, 0x00, 0x00, 0x04};
  std::copy(PrinterStatus::header.begin(), PrinterStatus::header.end(), reply.begin());
  std::copy(body.begin(), body.end(), reply.begin() + PrinterStatus::header.size());
  const std::optional<PrinterStatus> status = PrinterStatus::fromReply(reply);
  KELM_REQUIRE(status.has_value());
  return *status;
}

std::vector<Snapshots::Scene> Snapshots::scenes(BridgeModel::Moment now) {
  using CertState = BridgeModel::CertState;
  const CertState trusted =
      CertState::trusted(now + std::chrono::duration_cast<BridgeModel::Moment::duration>(
                                   std::chrono::duration<double>(trustedFor)));
  const std::vector<PairedPrinter> demoPrinter = {{demoPrinterName, demoPrinterAddress}};
  return {
      {"wiki-pb-notice", {false, CertState::missing(), {}, std::nullopt, false, false}},
      {"wiki-pb-setup", {true, CertState::missing(), demoPrinter, std::nullopt, false, false}},
      {"wiki-pb-no-printer", {true, trusted, {}, std::nullopt, true, false}},
      {"wiki-pb-ready", {true, trusted, demoPrinter, ready18(), true, true}},
  };
}

QPalette Snapshots::palette(Appearance appearance) {
  if (appearance == Appearance::dark) return darkPalette();
  const std::unique_ptr<QStyle> fusion(QStyleFactory::create(QStringLiteral("Fusion")));
  KELM_REQUIRE(fusion != nullptr);
  return fusion->standardPalette();
}

const char* Snapshots::suffix(Appearance appearance) {
  return appearance == Appearance::dark ? "dark" : "light";
}

std::optional<QByteArray> Snapshots::render(const BridgeModel::Demo& demo, Appearance appearance) {
  BridgeModel model(demo, demoEnvironment());
  FramedPanel frame(model, palette(appearance));
  frame.ensurePolished();
  settle();
  frame.adjustSize();
  const QPixmap picture = frame.grab();
  if (picture.isNull()) return std::nullopt;
  QByteArray bytes;
  QBuffer buffer(&bytes);
  if (!buffer.open(QIODevice::WriteOnly) || !picture.save(&buffer, "PNG")) return std::nullopt;
  return bytes;
}

void Snapshots::run(const QString& directory) {
  if (QApplication::style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  }
  QDir().mkpath(directory);
  const QDir folder(directory);
  for (const Scene& scene : scenes(std::chrono::system_clock::now())) {
    for (const Appearance appearance : {Appearance::light, Appearance::dark}) {
      const std::optional<QByteArray> png = render(scene.demo, appearance);
      if (!png) continue;
      QSaveFile file(folder.filePath(QString::fromLatin1(scene.name) + QLatin1Char('-') +
                                     QLatin1String(suffix(appearance)) + QStringLiteral(".png")));
      if (!file.open(QIODevice::WriteOnly)) continue;
      if (file.write(*png) != png->size()) continue;
      file.commit();
    }
  }
}

}  // namespace KelmVododIdizor
