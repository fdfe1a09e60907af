#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

namespace KelmVododIdizor {

// The application's mark for the tray: 18 x 18 logical pixels, drawn in one colour with the
// opacities of its design, optionally with an attention badge in the top right corner. Linux
// trays do not tint template images, so the caller passes the colour (the palette's text colour).
//
// The mark is laid out in a design space of 168 x 168 units placed at (1, 1) and scaled by 2/21,
// so that it covers the 16 x 16 pixels inside a 1-pixel margin.
class MenuBarMark {
 public:
  // Logical width and height of the mark.
  static constexpr int size = 18;

  // The mark on a transparent ARGB32-premultiplied image of size * devicePixelRatio pixels a
  // side, whose devicePixelRatio is set. REQUIRES: devicePixelRatio > 0.
  static QImage image(bool problem, QColor color, qreal devicePixelRatio);
  // The mark at device pixel ratios 1 and 2. REQUIRES: a QGuiApplication exists.
  static QIcon icon(bool problem, QColor color);
  // "Kelm™ Vodod Idizor"; with the badge "Kelm™ Vodod Idizor — needs attention" (translatable).
  static QString accessibleName(bool problem);

  // Draws the mark over the whole of `image`, in logical pixels of its devicePixelRatio, and
  // leaves the pixels outside the mark as they were. False, with nothing drawn, when the image
  // cannot be painted on (a null image).
  static bool draw(QImage& image, bool problem, QColor color);
};

}  // namespace KelmVododIdizor
