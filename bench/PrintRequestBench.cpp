// The cost of a maximal print request: 50 labels of 2835 x 600 pixels whose PNGs make a body just
// under the 32 MiB limit. Measures, in one run:
//   handle -> print   the time from Router::handle receiving the parsed request to the printer's
//                     print being called (JSON decoding, base64, PNG decoding, raster lines);
//   raw decode sum    libspng decoding the same 50 PNGs to their own samples, one after another;
//   peak memory       the most resident memory added while handle runs (the request is already
//                     in memory before), against the body's size.
// Targets: handle -> print <= 1.3 x raw decode sum; peak added <= 3 x body size.
#include <malloc.h>
#include <spng.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QEventLoop>

#include "Async/Async.h"
#include "BridgeKit/Base64.h"
#include "BridgeKit/BridgePrinter.h"
#include "BridgeKit/HTTPRequest.h"
#include "BridgeKit/Router.h"
#include "LabelImages.h"
#include "support/PngWriter.h"

namespace {

using BridgeKit::HTTPRequest;
using BridgeKit::HTTPResponse;
using BridgeKit::Router;
using Clock = std::chrono::steady_clock;

// A printer that notes when print is called and finishes at once.
class TimingPrinter : public BridgeKit::BridgePrinter {
 public:
  std::string displayName() const override { return "bench"; }
  std::optional<PrinterKit::PrinterStatus> lastStatus() const override { return std::nullopt; }
  bool isPrinting() const override { return false; }
  QCoro::Task<PrinterKit::PrinterStatus> status(double) override {
    co_return PrinterKit::PrinterStatus{
        PrinterKit::PrinterStatus::State::ready, std::nullopt, 18, 4, 0, 0};
  }
  QCoro::Task<void> print(std::vector<PrinterKit::RasterLabel> labels, int) override {
    calledAt = Clock::now();
    labelCount = labels.size();
    co_return;
  }
  Clock::time_point calledAt;
  std::size_t labelCount = 0;
};

// One label PNG (RGBA, the layout browsers' canvas.toBlob writes) with grey noise on the white
// background, so that 50 of them come close to the body limit as a worst case would.
std::vector<std::uint8_t> noisyLabel(unsigned seed, unsigned noiseMask) {
  const int width = 2835;
  const int height = 600;
  std::vector<std::uint8_t> gray = BenchSupport::drawLabel(width, height, seed);
  std::mt19937 random(seed);
  for (std::uint8_t& v : gray) {
    if (v == 255) v = static_cast<std::uint8_t>(255 - (random() & noiseMask));
  }
  TestSupport::PngImage image;
  image.width = width;
  image.height = height;
  image.colorType = TestSupport::PngImage::rgba;
  image.bitDepth = 8;
  image.samples.reserve(gray.size() * 4);
  for (std::uint8_t v : gray) image.samples.insert(image.samples.end(), {v, v, v, 255});
  return TestSupport::writePng(image);
}

double rawDecodeSeconds(const std::vector<std::vector<std::uint8_t>>& pngs) {
  const auto start = Clock::now();
  for (const auto& png : pngs) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, png.data(), png.size());
    std::size_t size = 0;
    spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
    std::vector<std::uint8_t> out(size);
    if (spng_decode_image(ctx, out.data(), out.size(), SPNG_FMT_PNG, 0) != 0) {
      std::fprintf(stderr, "raw decode failed\n");
    }
    spng_ctx_free(ctx);
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Resident memory now and the peak since the last resetPeak(), in bytes (Linux /proc).
long statusField(const char* name) {
  std::ifstream status("/proc/self/status");
  std::string key;
  long value = 0;
  while (status >> key) {
    if (key == name) {
      status >> value;
      return value * 1024;
    }
    status.ignore(1 << 16, '\n');
  }
  return -1;
}
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int rounds = 3;

  // 50 labels whose base64 comes close to the body limit (one bit of noise per pixel).
  std::vector<std::vector<std::uint8_t>> pngs;
  std::string body = "{\"tapeMm\":18,\"labels\":[";
  for (unsigned i = 0; i < 50; ++i) {
    pngs.push_back(noisyLabel(100 + i, 1));
    body += (i ? ",{\"png\":\"" : "{\"png\":\"") + BridgeKit::encodeBase64(pngs.back()) + "\"}";
  }
  body += "]}";
  if (body.size() > static_cast<std::size_t>(HTTPRequest::maxBody)) {
    std::fprintf(stderr, "the body is over the limit: %zu bytes\n", body.size());
    return 1;
  }
  std::printf("body %.1f MiB, 50 labels of 2835x600 RGBA, %.0f KiB per PNG\n",
              static_cast<double>(body.size()) / (1 << 20),
              static_cast<double>(body.size()) / 50 / 1024 * 3 / 4);

  auto printer = std::make_shared<TimingPrinter>();
  Router router("bench", Router::defaultOrigins(), [printer] { return printer; });
  const std::string origin = *Router::defaultOrigins().begin();

  for (int round = 0; round < rounds; ++round) {
    const double decodeSum = rawDecodeSeconds(pngs);

    HTTPRequest request("POST", "/v1/print",
                        {{"host", "127.0.0.1:52719"},
                         {"origin", origin},
                         {"content-type", "application/json"},
                         {"content-length", std::to_string(body.size())}},
                        std::vector<std::uint8_t>(body.begin(), body.end()));
    malloc_trim(0);  // what earlier rounds freed is not counted as resident before
    const long before = statusField("VmRSS:");
    resetPeak();
    const auto start = Clock::now();
    int status = 0;
    QEventLoop loop;
    auto run = [&]() -> QCoro::Task<> {
      const HTTPResponse response = co_await router.handle(std::move(request));
      status = static_cast<int>(response.status);
      loop.quit();
    };
    Async::start(&app, run);
    loop.exec();
    const long peak = statusField("VmHWM:");
    const double handleToPrint = std::chrono::duration<double>(printer->calledAt - start).count();
    std::printf(
        "round %d: status %d, %zu labels printed; handle->print %.3f s, raw decode sum %.3f s, "
        "ratio %.2f (target <= 1.3); peak added %.1f MiB = %.2f x body (target <= 3)\n",
        round + 1, status, printer->labelCount, handleToPrint, decodeSum, handleToPrint / decodeSum,
        static_cast<double>(peak - before) / (1 << 20),
        static_cast<double>(peak - before) / static_cast<double>(body.size()));
  }
  return 0;
}
