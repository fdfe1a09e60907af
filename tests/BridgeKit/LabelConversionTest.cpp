#include "BridgeKit/LabelConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "BridgeKit/Base64.h"
#include "PrinterKit/LabelBitmap.h"
#include "support/PngWriter.h"

namespace BridgeKit {
namespace {

using PrinterKit::LabelBitmap;
using PrinterKit::RasterLabel;
using TestSupport::PngImage;
using Bytes = std::vector<std::uint8_t>;

// An 8-bit gray image whose ink pattern depends on `seed`, so that labels differ from each other
// and every line differs from its neighbours.
Bytes png(int width, int height, int seed) {
  PngImage image = PngImage::filled(width, height, PngImage::gray, 8, {255});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if ((x * 7 + y * 3 + seed) % 5 == 0) image.set(x, y, {0});
    }
  }
  return TestSupport::writePng(image);
}

struct Fixture {
  std::string text;  // the label's png as sent
  Bytes image;       // what it decodes to
};

Fixture fixture(Bytes image) { return {encodeBase64(image), std::move(image)}; }

struct Case {
  const char* what;
  std::vector<const Fixture*> labels;
  int dots;
  const char* code;  // nullptr: converted
};

TEST(LabelConversionTest, ConvertsInOrderOrNamesTheFirstFailure) {
  const Fixture tall144 = fixture(png(30, 144, 0));
  const Fixture tall110 = fixture(png(17, 110, 1));
  const Fixture tall108 = fixture(png(1, 108, 2));
  const Fixture tooShort = fixture(png(10, 50, 0));
  const Fixture tooLong = fixture(png(2836, 108, 0));
  const Fixture tooTall = fixture(png(5, 601, 0));
  const Fixture notPng = fixture(Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0});
  const Fixture noBytes = fixture({});
  const Fixture dataUrl{"data:image/png;base64," + tall144.text, {}};
  Fixture wrapped = tall144;
  wrapped.text.insert(76, "\r\n");
  const Fixture unpadded{"QUJD" + encodeBase64(Bytes{1}).substr(0, 2), {}};

  const Case cases[] = {
      {"no labels", {}, 108, nullptr},
      {"all usable", {&tall144, &tall110, &tall108}, 108, nullptr},
      {"taller than the tape", {&tall144}, 144, nullptr},
      {"the same label twice", {&tall110, &tall110}, 108, nullptr},
      {"short before bad base64", {&tall144, &tooShort, &dataUrl}, 108, "IMAGE_TOO_SHORT"},
      {"bad base64 before short", {&tall144, &wrapped, &tooShort}, 108, "BAD_IMAGE"},
      {"long before short", {&tall108, &tooLong, &tooShort}, 108, "LABEL_TOO_LONG"},
      {"short only on the wider tape", {&tall144, &tall110}, 144, "IMAGE_TOO_SHORT"},
      {"short on the widest tape", {&tall144}, 256, "IMAGE_TOO_SHORT"},
      {"too tall is not an image", {&tooTall, &tooLong}, 108, "BAD_IMAGE"},
      {"not a PNG", {&tall144, &notPng}, 108, "BAD_IMAGE"},
      {"empty text", {&noBytes}, 108, "BAD_IMAGE"},
      {"data URL", {&dataUrl}, 108, "BAD_IMAGE"},
      {"unpadded", {&unpadded}, 108, "BAD_IMAGE"},
      {"the earliest of several failures among many labels",
       {&tall108, &tall110, &tall144, &tall108, &tall110, &tall144, &tall108, &tooShort, &tall108,
        &tall110, &dataUrl, &tall144},
       108,
       "IMAGE_TOO_SHORT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<PrintRequest::Label> labels;
    for (const Fixture* f : c.labels) labels.push_back({f->text});
    const LabelConversion result = convertLabels(labels, c.dots);
    // Several threads give exactly what one gives, failures included.
    EXPECT_EQ(convertLabels(labels, c.dots, 3), result);
    if (c.code != nullptr) {
      ASSERT_TRUE(std::holds_alternative<std::string>(result));
      EXPECT_EQ(std::get<std::string>(result), c.code);
      continue;
    }
    ASSERT_TRUE(std::holds_alternative<std::vector<RasterLabel>>(result))
        << std::get<std::string>(result);
    std::vector<RasterLabel> expected;
    for (const Fixture* f : c.labels) {
      expected.push_back(LabelBitmap(std::span<const std::uint8_t>(f->image)).columns(c.dots));
    }
    EXPECT_EQ(std::get<std::vector<RasterLabel>>(result), expected);
  }
}

}  // namespace
}  // namespace BridgeKit
