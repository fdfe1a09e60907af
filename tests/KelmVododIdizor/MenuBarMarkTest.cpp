#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QPoint>

#include "KelmVododIdizor/MenuBarMark.h"

namespace KelmVododIdizor {
namespace {

const QColor ink(200, 40, 10);

// The device pixel that holds the point (x, y) of the mark's design space.
QPoint pixelAt(double x, double y, qreal dpr) {
  const auto device = [dpr](double design) {
    return static_cast<int>(std::floor((1 + design * 2.0 / 21.0) * dpr));
  };
  return {device(x), device(y)};
}

// Design points whose whole device pixel, at ratios 1 and 2, lies in one region of the mark.
struct Region {
  const char* name;
  double x, y;
  int alphaWithout;  // without the badge
  int alphaWith;     // with the badge
};
const Region regions[] = {
    // The big circle over the quadrilateral: the copy mode replaces the opaque quadrilateral.
    {"big circle over the quadrilateral", 50, 95, 107, 107},
    // The small circle inside the big one: the clipped fill, again replacing what lay beneath.
    {"small circle clipped to the big one", 105, 105, 191, 191},
    // The small circle outside the big one keeps its first, opaque fill.
    {"small circle alone", 140, 140, 255, 255},
    {"badge disc", 142, 26, 0, 255},
    // Between the badge and its clearance, over the big circle: cleared only with the badge.
    {"ring around the badge", 110, 47, 107, 0},
};

class MenuBarMarkTest : public ::testing::TestWithParam<qreal> {};

TEST_P(MenuBarMarkTest, ImageHasTheLogicalSizeAtItsRatio) {
  const qreal dpr = GetParam();
  for (const bool problem : {false, true}) {
    const QImage image = MenuBarMark::image(problem, ink, dpr);
    EXPECT_EQ(image.format(), QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(image.size(), QSize(18, 18) * dpr);
    EXPECT_EQ(image.devicePixelRatio(), dpr);
    EXPECT_EQ(image.deviceIndependentSize(), QSizeF(18, 18));
  }
}

TEST_P(MenuBarMarkTest, RegionsHaveTheirOpacityWithAndWithoutTheBadge) {
  const qreal dpr = GetParam();
  for (const bool problem : {false, true}) {
    const QImage image = MenuBarMark::image(problem, ink, dpr);
    for (const Region& region : regions) {
      SCOPED_TRACE(std::string(region.name) + (problem ? ", with badge" : ", without badge"));
      const QPoint pixel = pixelAt(region.x, region.y, dpr);
      const QColor color = image.pixelColor(pixel);
      EXPECT_NEAR(color.alpha(), problem ? region.alphaWith : region.alphaWithout, 1);
      if (color.alpha() == 255) {
        EXPECT_EQ(color.rgb(), ink.rgb());
      }
    }
    const int last = image.width() - 1;
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)}) {
      EXPECT_EQ(image.pixelColor(corner).alpha(), 0) << corner.x() << "," << corner.y();
    }
  }
}

TEST_P(MenuBarMarkTest, EveryPixelIsTheGivenColourAtSomeOpacity) {
  const qreal dpr = GetParam();
  for (const QColor given : {ink, QColor(Qt::white), QColor(30, 144, 255)}) {
    SCOPED_TRACE(given.name().toStdString());
    const QImage image = MenuBarMark::image(true, given, dpr);
    int visible = 0;
    for (int y = 0; y < image.height(); ++y) {
      // Premultiplied: each channel is the given one scaled by the pixel's alpha, within the
      // rounding of the antialiased edges.
      const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x) {
        const QRgb pixel = line[x];
        const int alpha = qAlpha(pixel);
        if (alpha > 0) ++visible;
        const auto scaled = [alpha](int channel) { return channel * alpha / 255.0; };
        EXPECT_NEAR(qRed(pixel), scaled(given.red()), 2.5) << x << "," << y;
        EXPECT_NEAR(qGreen(pixel), scaled(given.green()), 2.5) << x << "," << y;
        EXPECT_NEAR(qBlue(pixel), scaled(given.blue()), 2.5) << x << "," << y;
      }
    }
    EXPECT_GT(visible, image.width() * image.height() / 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Ratios, MenuBarMarkTest, ::testing::Values(1.0, 2.0));

TEST(MenuBarMark, IconHoldsTheImagesAtRatiosOneAndTwo) {
  for (const bool problem : {false, true}) {
    const QIcon icon = MenuBarMark::icon(problem, ink);
    for (const qreal dpr : {1.0, 2.0}) {
      const QPixmap pixmap = icon.pixmap(QSize(18, 18), dpr);
      EXPECT_EQ(pixmap.devicePixelRatio(), dpr);
      EXPECT_EQ(pixmap.toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
                MenuBarMark::image(problem, ink, dpr));
    }
  }
}

TEST(MenuBarMark, DrawingNeedsAnImageToPaintOn) {
  QImage none;
  EXPECT_FALSE(MenuBarMark::draw(none, true, ink));
  QImage image(18, 18, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  EXPECT_TRUE(MenuBarMark::draw(image, false, ink));
  EXPECT_EQ(image, MenuBarMark::image(false, ink, 1));
}

TEST(MenuBarMark, AccessibleNameSaysWhenTheMarkNeedsAttention) {
  EXPECT_EQ(MenuBarMark::accessibleName(false), QString::fromUtf8("Kelm™ Vodod Idizor"));
  EXPECT_EQ(MenuBarMark::accessibleName(true),
            QString::fromUtf8("Kelm™ Vodod Idizor — needs attention"));
}

}  // namespace
}  // namespace KelmVododIdizor
