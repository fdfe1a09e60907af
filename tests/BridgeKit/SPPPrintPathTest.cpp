// A print request through the router, the bridge's view of the engine and the engine itself, to
// the printer simulator: what the simulator prints is what the submitted images show.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>

#include "BridgeKit/Base64.h"
#include "BridgeKit/Router.h"
#include "BridgeKit/RouterFixture.h"
#include "BridgeKit/SPPBridgePrinter.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/SPPPrinter.h"
#include "PrinterSimulator/SimulatorTransport.h"
#include "PrinterSimulator/TepraProSimulator.h"
#include "support/PngWriter.h"
#include "support/RunTask.h"

namespace BridgeKit {
namespace {

using PrinterKit::LabelBitmap;
using PrinterKit::SPPPrinter;
using PrinterSimulator::SimulatorTransport;
using PrinterSimulator::TepraProSimulator;
using TestSupport::PngImage;

// A gray image with a pattern in every row and column, and a few grays near the ink threshold.
std::vector<std::uint8_t> patternPng(int width, int height, int seed) {
  PngImage image = PngImage::filled(width, height, PngImage::gray, 8, {255});
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int v = (x * 13 + y * 7 + seed) % 11;
      const std::uint16_t gray = v < 4 ? 0 : v == 4 ? 127 : v == 5 ? 128 : 255;
      image.set(x, y, {gray});
    }
  }
  return TestSupport::writePng(image);
}

TEST(SPPPrintPathTest, PrintedBitmapsAreTheSubmittedImages) {
  TepraProSimulator sim;
  sim.settings().mmPerSecond = 400.0;
  auto engine =
      SPPPrinter::create("fc-0f-e7-00-00-01", "SR-MK1", std::make_unique<SimulatorTransport>(sim));
  engine->pollInterval = 0.05;
  auto printer = std::make_shared<SPPBridgePrinter>(engine);
  Router router("1.0.0", {kOrigin},
                [printer]() -> std::shared_ptr<BridgePrinter> { return printer; });

  // Taller than the 216 dots of 18 mm tape (rows are cut off evenly) and exactly as tall.
  const std::vector<std::vector<std::uint8_t>> pngs = {patternPng(57, 221, 0),
                                                       patternPng(30, 216, 5)};
  std::vector<std::string> encoded;
  for (const auto& png : pngs) encoded.push_back(encodeBase64(png));
  const Req request{.method = "POST", .target = "/v1/print", .body = printBody(18, encoded)};
  const std::optional<HTTPResponse> answer = TestSupport::runTask(router.handle(build(request)));
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(text(answer->body), R"({"printed":2})");

  ASSERT_EQ(sim.printedLabels().size(), pngs.size());
  EXPECT_EQ(sim.jobsCompleted(), 1);
  for (std::size_t i = 0; i < pngs.size(); ++i) {
    SCOPED_TRACE(i);
    const LabelBitmap submitted(pngs[i]);
    EXPECT_EQ(sim.printedLabels()[i], submitted.columns(216));
    // The printed label as an image, row for row against the rows of the submitted one that fit.
    const LabelBitmap printed(sim.labelPng(i));
    ASSERT_EQ(printed.width(), submitted.width());
    ASSERT_EQ(printed.height(), 216);
    const int top = (submitted.height() - 216) / 2;
    int differing = 0;
    for (int y = 0; y < 216; ++y) {
      for (int x = 0; x < submitted.width(); ++x) {
        differing += printed.pixel(x, y) != submitted.pixel(x, top + y) ? 1 : 0;
      }
    }
    EXPECT_EQ(differing, 0);
  }
  EXPECT_TRUE(sim.errors().empty());
  EXPECT_FALSE(engine->isPrinting());
  engine->close();
  QCoreApplication::sendPostedEvents();  // the idle timer ends on the event loop
}

}  // namespace
}  // namespace BridgeKit
