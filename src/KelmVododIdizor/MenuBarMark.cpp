#include "KelmVododIdizor/MenuBarMark.h"

#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>

#include "Base/Require.h"

namespace KelmVododIdizor {

namespace {

constexpr qreal designScale = 2.0 / 21.0;

const QRectF bigCircle(0, 0, 144.76, 144.76);
const QRectF smallCircle(78.64, 78.64, 89.36, 89.36);
const QRectF badge(112, -4, 60, 60);
// The badge grown by 16 units on every side: the ring between the two is cleared.
const QRectF badgeClearance(96, -20, 92, 92);

QColor withOpacity(QColor color, qreal opacity) {
  color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
  return color;
}

void fillEllipse(QPainter& painter, const QRectF& bounds, const QColor& color) {
  QPainterPath path;
  path.addEllipse(bounds);
  painter.fillPath(path, color);
}

}  // namespace

bool MenuBarMark::draw(QImage& image, bool problem, QColor color) {
  QPainter painter;
  if (image.isNull() || !painter.begin(&image)) return false;
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.translate(1, 1);
  painter.scale(designScale, designScale);

  QPainterPath quadrilateral;
  quadrilateral.setFillRule(Qt::WindingFill);
  quadrilateral.addPolygon(QPolygonF({QPointF(21.2, 123.57), QPointF(123.57, 21.2),
                                      QPointF(154.91, 91.73), QPointF(91.73, 154.91)}));
  quadrilateral.closeSubpath();
  painter.fillPath(quadrilateral, color);
  fillEllipse(painter, smallCircle, color);

  // From here on a fill replaces colour and opacity instead of blending with what lies beneath.
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  fillEllipse(painter, bigCircle, withOpacity(color, 0.42));

  painter.save();
  QPainterPath clip;
  clip.addEllipse(bigCircle);
  painter.setClipPath(clip);
  fillEllipse(painter, smallCircle, withOpacity(color, 0.75));
  painter.restore();

  if (problem) {
    fillEllipse(painter, badgeClearance, withOpacity(color, 0));
    fillEllipse(painter, badge, color);
  }
  painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
  return painter.end();
}

QImage MenuBarMark::image(bool problem, QColor color, qreal devicePixelRatio) {
  KELM_REQUIRE(devicePixelRatio > 0);
  const int pixels = qRound(size * devicePixelRatio);
  QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(devicePixelRatio);
  image.fill(Qt::transparent);
  draw(image, problem, color);
  return image;
}

QIcon MenuBarMark::icon(bool problem, QColor color) {
  QIcon icon;
  for (const qreal ratio : {1.0, 2.0})
    icon.addPixmap(QPixmap::fromImage(image(problem, color, ratio)));
  return icon;
}

QString MenuBarMark::accessibleName(bool problem) {
  if (!problem) return QStringLiteral("Kelm™ Vodod Idizor");
  return QCoreApplication::translate("KelmVododIdizor::MenuBarMark",
                                     "Kelm™ Vodod Idizor — needs attention");
}

}  // namespace KelmVododIdizor
