// Label conversion speed. For realistic label images (text and barcode bars, black on white with
// grey edges, PNG at the default zlib level):
//   BM_Bridge/<image>    LabelBitmap from the PNG, columns(dots), TepraPro::page;
//   BM_Baseline/<image>  libspng decoding the whole image to its own 8-bit samples, then a plain
//                        loop: for each column, for each dot, read the pixel, threshold, set bit;
// and BM_Job: TepraPro::job for 50 labels of 2835 lines at 256 dots, in bytes per second.
// The dots are 216 (18 mm tape), or 144 (12 mm) for an image only 144 high. After the run the
// Bridge / Baseline time ratio of each image is printed.
#include <benchmark/benchmark.h>
#include <spng.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "LabelImages.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/TepraPro.h"
#include "support/PngWriter.h"

namespace {

using PrinterKit::LabelBitmap;
using PrinterKit::RasterLabel;
using PrinterKit::TepraPro;
using TestSupport::PngImage;

// Dots across the tape each image is converted for: 216 (18 mm) for the tall ones, 144 (12 mm)
// for the one that is only 144 high.
int dotsFor(int height) { return std::min(216, height); }

struct Image {
  std::string name;
  int width;
  int height;
  std::vector<std::uint8_t> png;
  PngImage::ColorType type;
};

Image makeImage(const std::string& name, int width, int height, PngImage::ColorType type) {
  const std::vector<std::uint8_t> gray = BenchSupport::drawLabel(width, height, 11);
  PngImage image;
  image.width = width;
  image.height = height;
  image.colorType = type;
  image.bitDepth = 8;
  const int n = PngImage::channels(type);
  image.samples.reserve(gray.size() * static_cast<std::size_t>(n));
  for (std::uint8_t v : gray) {
    if (type == PngImage::gray) {
      image.samples.push_back(v);
    } else {
      image.samples.insert(image.samples.end(), {v, v, v, 255});
    }
  }
  return {name, width, height, TestSupport::writePng(image), type};
}

const std::vector<Image>& images() {
  static const std::vector<Image> all = {
      makeImage("gray2835x600", 2835, 600, PngImage::gray),
      makeImage("rgba2835x600", 2835, 600, PngImage::rgba),
      makeImage("rgba600x144", 600, 144, PngImage::rgba),
  };
  return all;
}

void bridge(benchmark::State& state, const Image& image) {
  for (auto _ : state) {
    const LabelBitmap bitmap{std::span<const std::uint8_t>(image.png)};
    const int dots = dotsFor(image.height);
    const RasterLabel label = bitmap.columns(dots);
    std::vector<std::uint8_t> page = TepraPro::page(label, dots);
    benchmark::DoNotOptimize(page.data());
  }
}

struct ContextDeleter {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

bool grayInk(const std::uint8_t* p) { return p[0] < 128; }

bool rgbaInk(const std::uint8_t* p) {
  const unsigned sum = static_cast<unsigned>(p[0]) + p[1] + p[2];
  const unsigned a = p[3];
  if (a == 255) return sum < 384;
  return ((sum / 3) * a + (255 - a) * 255) / 255 < 128;
}

void baseline(benchmark::State& state, const Image& image) {
  const int height = image.height;
  const std::size_t n = image.type == PngImage::gray ? 1 : 4;
  const int dots = dotsFor(height);
  const int top = (height - dots) / 2;
  const std::size_t lineBytes = static_cast<std::size_t>(dots + 7) / 8;
  for (auto _ : state) {
    std::unique_ptr<spng_ctx, ContextDeleter> ctx(spng_ctx_new(0));
    spng_set_png_buffer(ctx.get(), image.png.data(), image.png.size());
    std::size_t size = 0;
    if (spng_decoded_image_size(ctx.get(), SPNG_FMT_PNG, &size) != 0) state.SkipWithError("size");
    std::vector<std::uint8_t> pixels(size);
    if (spng_decode_image(ctx.get(), pixels.data(), size, SPNG_FMT_PNG, 0) != 0) {
      state.SkipWithError("decode");
    }
    const std::size_t stride = static_cast<std::size_t>(image.width) * n;
    std::vector<std::uint8_t> lines(static_cast<std::size_t>(image.width) * lineBytes, 0);
    for (int x = 0; x < image.width; ++x) {
      std::uint8_t* line = lines.data() + static_cast<std::size_t>(x) * lineBytes;
      for (int j = 0; j < dots; ++j) {
        const std::size_t y = static_cast<std::size_t>(top + dots - 1 - j);
        const std::uint8_t* p = pixels.data() + y * stride + static_cast<std::size_t>(x) * n;
        if (n == 1 ? grayInk(p) : rgbaInk(p))
          line[j / 8] |= static_cast<std::uint8_t>(0x80 >> (j % 8));
      }
    }
    benchmark::DoNotOptimize(lines.data());
  }
}

void job(benchmark::State& state) {
  std::mt19937 random(5);
  std::vector<RasterLabel> labels;
  for (int i = 0; i < TepraPro::maxLabels; ++i) {
    RasterLabel label(256);
    for (std::uint8_t& byte : label.appendBlankLines(TepraPro::maxLabelLines)) {
      byte = static_cast<std::uint8_t>(random() & random());
    }
    labels.push_back(std::move(label));
  }
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> out = TepraPro::job(labels, 256);
    bytes += out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

// Prints as the console reporter does and keeps each benchmark's time per iteration.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times[run.benchmark_name()] = run.GetAdjustedRealTime();
      }
    }
    ConsoleReporter::ReportRuns(reports);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Image& image : images()) {
    benchmark::RegisterBenchmark(("BM_Bridge/" + image.name).c_str(), bridge, image)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_Baseline/" + image.name).c_str(), baseline, image)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("BM_Job", job)->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // Colours only on a terminal, as the library's own reporter does.
  CollectingReporter reporter(isatty(fileno(stdout)) ? benchmark::ConsoleReporter::OO_Defaults
                                                     : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\nBridge / Baseline (target <= 1.2):\n");
  for (const Image& image : images()) {
    const auto bridgeTime = reporter.times.find("BM_Bridge/" + image.name);
    const auto baselineTime = reporter.times.find("BM_Baseline/" + image.name);
    if (bridgeTime == reporter.times.end() || baselineTime == reporter.times.end()) continue;
    std::printf("  %-14s png %7zu bytes  bridge %8.3f ms  baseline %8.3f ms  ratio %.2f\n",
                image.name.c_str(), image.png.size(), bridgeTime->second, baselineTime->second,
                bridgeTime->second / baselineTime->second);
  }
  return 0;
}
