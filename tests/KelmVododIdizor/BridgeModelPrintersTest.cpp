#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QObject>
#include <QSettings>

#include "BridgeKit/HTTPRequest.h"
#include "BridgeKit/Router.h"
#include "Json/Value.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/ModelFixture.h"
#include "PrinterKit/LabelBitmap.h"
#include "PrinterKit/RasterLabel.h"
#include "PrinterKit/TepraPro.h"
#include "support/RunTask.h"

namespace KelmVododIdizor {
namespace {

using namespace std::chrono_literals;
using PrinterKit::PrinterStatus;
using TestSupport::runTask;
using TestSupport::runUntil;
using Access = BridgeModelTestAccess;
using Device = testing::SimulatedDevices::Device;
using Field = BridgeModel::Field;

const std::string notATepraPro = "The device answered, but not as a TEPRA PRO";
const std::string noReply = "The printer did not answer";

// How a simulated device answers a status request.
enum class Answers { tepraPro, garbage, silent };

class BridgeModelPrintersTest : public testing::ModelFixture {
 protected:
  Device& pair(const std::string& name, const std::string& address,
               Answers answers = Answers::tepraPro) {
    Device& device = devices->add(name, address);
    device.printer.setGarbage(answers == Answers::garbage);
    device.printer.setSilent(answers == Answers::silent);
    return device;
  }

  // The choice a model finds in the settings when it starts.
  static void remember(const std::string& address, bool autoChosen) {
    QSettings settings;
    settings.setValue("printerAddress", QString::fromStdString(address));
    settings.setValue("printerAutoChosen", autoChosen);
  }

  // A model that has finished starting: the listing, and the choice and the status refresh that
  // may follow it.
  std::unique_ptr<BridgeModel> startedModel() {
    auto model = makeModel();
    settle(*model);
    return model;
  }

  static void settle(BridgeModel& model) {
    EXPECT_TRUE(runUntil(
        [&] { return !model.loadingPrinters() && !model.choosingPrinter() && !model.checking(); }));
  }

  // The printer's name in the status body the Router serves; none when the body has no printer.
  static std::optional<std::string> servedName(BridgeModel& model) {
    const std::string origin = *BridgeKit::Router::defaultOrigins().begin();
    BridgeKit::HTTPRequest request("GET", "/v1/status",
                                   {{"host", "127.0.0.1:52719"}, {"origin", origin}}, {});
    const std::optional<BridgeKit::HTTPResponse> response =
        runTask(model.router().handle(std::move(request)));
    if (!response) return std::nullopt;
    EXPECT_EQ(response->status, 200);
    const std::optional<Json::Value> body =
        Json::parse(std::string(response->body.begin(), response->body.end()));
    const Json::Value* printer = body ? body->find("printer") : nullptr;
    if (printer == nullptr) return std::nullopt;
    const Json::Value* name = printer->find("name");
    return name != nullptr && name->asString() != nullptr ? *name->asString() : "(no name)";
  }

  bool logs(const std::string& line) const {
    return std::find(logged.begin(), logged.end(), line) != logged.end();
  }
};

TEST_F(BridgeModelPrintersTest, AListingRequestedDuringAListingIsNotStarted) {
  pair("TEPRA PRO", "fc-0f-e7-00-00-01");
  devices->holdListings = true;
  const auto model = makeModel();
  EXPECT_TRUE(model->loadingPrinters());
  model->reloadPrinters();
  ASSERT_TRUE(runUntil([&] { return devices->listings == 1; }));
  model->reloadPrinters();
  devices->releaseListing();
  settle(*model);
  EXPECT_EQ(devices->listings, 1);
  EXPECT_EQ(model->printers().size(), 1u);

  model->reloadPrinters();
  devices->releaseListing();
  ASSERT_TRUE(runUntil([&] { return devices->listings == 2; }));
  devices->releaseListing();
  settle(*model);
  EXPECT_EQ(devices->listings, 2);
}

// What follows a listing: nothing when it holds the remembered printer or is empty; otherwise
// probing in the listing's order (the first TEPRA PRO, else the first silent device, else the
// first device) and a status refresh of the one chosen.
TEST_F(BridgeModelPrintersTest, AListingKeepsAListedOrEmptyChoiceAndProbesOtherwise) {
  struct Listed {
    std::string name;
    std::string address;
    Answers answers;
  };
  struct Case {
    const char* name;
    std::vector<Listed> listed;
    std::optional<std::string> remembered;
    std::optional<std::string> selected;
    std::vector<std::string> engines;  // in the order they were made
    std::optional<std::string> statusError;
    std::optional<std::string> logLine;
  };
  const Listed garbage{"Headset", "00-11-22-33-44-01", Answers::garbage};
  const Listed silent{"TEPRA PRO (off)", "00-11-22-33-44-02", Answers::silent};
  const Listed tepra{"TEPRA PRO", "00-11-22-33-44-03", Answers::tepraPro};
  const Listed nameless{"", "00-11-22-33-44-04", Answers::garbage};
  const Case cases[] = {
      {"remembered and listed",
       {garbage, tepra},
       garbage.address,
       garbage.address,
       {},
       std::nullopt,
       std::nullopt},
      {"empty listing",
       {},
       "00-11-22-33-44-09",
       "00-11-22-33-44-09",
       {},
       std::nullopt,
       std::nullopt},
      {"nothing remembered",
       {garbage, silent, tepra},
       std::nullopt,
       tepra.address,
       {garbage.address, silent.address, tepra.address, tepra.address},
       std::nullopt,
       "[printer] chose TEPRA PRO automatically"},
      {"remembered, not listed",
       {garbage, silent, tepra},
       "00-11-22-33-44-09",
       tepra.address,
       {garbage.address, silent.address, tepra.address, tepra.address},
       std::nullopt,
       "[printer] chose TEPRA PRO automatically"},
      {"no TEPRA PRO: the silent one",
       {garbage, silent},
       std::nullopt,
       silent.address,
       {garbage.address, silent.address, silent.address},
       noReply,
       "[printer] chose TEPRA PRO (off) automatically"},
      {"one device, whatever it answers",
       {nameless},
       std::nullopt,
       nameless.address,
       {nameless.address, nameless.address},
       notATepraPro,
       "[printer] chose none automatically"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSettings().clear();
    if (c.remembered) remember(*c.remembered, false);
    devices = std::make_shared<testing::SimulatedDevices>();
    for (const Listed& listed : c.listed) pair(listed.name, listed.address, listed.answers);
    logged.clear();

    const auto model = startedModel();
    EXPECT_EQ(model->printers().size(), c.listed.size());
    EXPECT_EQ(model->selected(), c.selected);
    EXPECT_EQ(devices->made, c.engines);
    EXPECT_EQ(model->statusError(), c.statusError);
    const bool probed = !c.engines.empty();
    EXPECT_EQ(model->status().has_value(), probed && !c.statusError);
    EXPECT_EQ(model->autoChosen(), probed);
    EXPECT_EQ(model->lastAutoChoice().has_value(), probed);
    EXPECT_EQ(QSettings().value("printerAddress").toString().toStdString(),
              c.selected.value_or(""));
    if (c.logLine) {
      EXPECT_TRUE(logs(*c.logLine)) << *c.logLine;
    }
  }
}

TEST_F(BridgeModelPrintersTest, NoPrinterIsReachedWhileChoosing) {
  pair("TEPRA PRO (off)", "00-11-22-33-44-02", Answers::silent);
  Device& tepra = pair("TEPRA PRO", "00-11-22-33-44-03");
  const auto model = makeModel();
  ASSERT_TRUE(runUntil([&] { return model->choosingPrinter(); }));
  EXPECT_EQ(Access::currentPrinter(*model), nullptr);
  EXPECT_EQ(servedName(*model), std::nullopt);
  std::vector<Field> changes;
  QObject::connect(model.get(), &BridgeModel::changed,
                   [&changes](Field field) { changes.push_back(field); });
  runTask(model->refreshStatus());
  runTask(model->testPrint());
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(tepra.engines, 0);

  settle(*model);
  // The body without a printer served during the choice is not served again.
  EXPECT_EQ(servedName(*model), "TEPRA PRO");
}

TEST_F(BridgeModelPrintersTest, TheChosenPrintersEngineIsMadeOnceAndDroppedWithTheChoice) {
  Device& first = pair("TEPRA PRO", "00-11-22-33-44-01");
  Device& second = pair("TEPRA PRO 2", "00-11-22-33-44-02");
  const auto model = startedModel();
  ASSERT_EQ(model->selected(), first.address);
  ASSERT_TRUE(model->status());
  EXPECT_EQ(first.engines, 2);  // the probe's and the chosen printer's

  const std::shared_ptr<PrinterKit::SPPPrinter> engine = Access::currentPrinter(*model);
  runTask(model->refreshStatus());
  EXPECT_EQ(servedName(*model), "TEPRA PRO");
  EXPECT_EQ(Access::currentPrinter(*model), engine);
  EXPECT_EQ(first.engines, 2);
  ASSERT_TRUE(engine->isOpen());
  const int closes = first.linkCloses;  // the probe's

  // The same printer chosen again by hand: only autoChosen changes.
  Access::setChoice(*model, first.address, false);
  EXPECT_FALSE(model->autoChosen());
  EXPECT_EQ(QSettings().value("printerAutoChosen"), QVariant(false));
  EXPECT_TRUE(model->status());
  EXPECT_EQ(Access::currentPrinter(*model), engine);
  EXPECT_EQ(first.linkCloses, closes);

  // Another printer: the old engine is closed and the Router no longer serves its cached body.
  Access::setChoice(*model, second.address, false);
  EXPECT_FALSE(engine->isOpen());
  EXPECT_EQ(first.linkCloses, closes + 1);
  EXPECT_EQ(model->selected(), second.address);
  EXPECT_FALSE(model->status());
  EXPECT_FALSE(model->statusError());
  EXPECT_EQ(QSettings().value("printerAddress").toString().toStdString(), second.address);
  EXPECT_EQ(servedName(*model), "TEPRA PRO 2");
  EXPECT_EQ(second.engines, 1);

  Access::setChoice(*model, std::nullopt, true);
  EXPECT_FALSE(QSettings().contains("printerAddress"));
  EXPECT_EQ(QSettings().value("printerAutoChosen"), QVariant(true));
  EXPECT_EQ(Access::currentPrinter(*model), nullptr);
  EXPECT_EQ(servedName(*model), std::nullopt);
}

TEST_F(BridgeModelPrintersTest, RefreshShowsTheStatusOrTheFailure) {
  struct Case {
    const char* name;
    Answers answers;
    std::uint8_t problemCode;
    std::optional<std::string> statusError;
    std::optional<PrinterStatus::Problem> problem;
  };
  const Case cases[] = {
      {"ready", Answers::tepraPro, 0x00, std::nullopt, std::nullopt},
      {"cover open", Answers::tepraPro, 0x21, std::nullopt, PrinterStatus::Problem::coverOpen},
      {"silent", Answers::silent, 0x00, noReply, std::nullopt},
      {"not a TEPRA PRO", Answers::garbage, 0x00, notATepraPro, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    devices = std::make_shared<testing::SimulatedDevices>();
    Device& device = pair("TEPRA PRO", "00-11-22-33-44-01");
    remember(device.address, false);
    const auto model = startedModel();
    // A first refresh leaves the opposite outcome for the case's refresh to replace.
    device.printer.setSilent(!c.statusError);
    runTask(model->refreshStatus());
    ASSERT_EQ(model->statusError().has_value(), !c.statusError);

    device.printer.setSilent(c.answers == Answers::silent);
    device.printer.setGarbage(c.answers == Answers::garbage);
    device.printer.settings().problemCode = c.problemCode;
    runTask(model->refreshStatus());
    EXPECT_EQ(model->statusError(), c.statusError);
    EXPECT_EQ(model->status().has_value(), !c.statusError);
    if (model->status()) {
      EXPECT_EQ(model->status()->problem, c.problem);
      EXPECT_EQ(model->status()->tapeMm, c.problem ? std::nullopt : std::optional<int>(18));
    }
    EXPECT_FALSE(model->checking());
    EXPECT_EQ(model->selected(), device.address);
  }
}

TEST_F(BridgeModelPrintersTest, ARefreshDuringARefreshOrAJobAsksNothing) {
  Device& device = pair("TEPRA PRO", "00-11-22-33-44-01", Answers::silent);
  remember(device.address, false);
  const auto model = startedModel();
  QCoro::Task<> first = model->refreshStatus();
  EXPECT_TRUE(model->checking());
  runTask(model->refreshStatus());
  runTask(std::move(first));
  EXPECT_EQ(device.writes, 1);
  EXPECT_EQ(model->statusError(), noReply);

  // During a job the engine's last status is copied and no query is made.
  device.printer.setSilent(false);
  device.printer.settings().mmPerSecond = 40.0;
  const std::shared_ptr<PrinterKit::SPPPrinter> engine = Access::currentPrinter(*model);
  PrinterKit::RasterLabel label(216);
  label.appendBlankLines(142);
  QCoro::Task<> job = engine->print({label}, 18);
  ASSERT_TRUE(runUntil([&] { return device.printer.isPrinting(); }));
  ASSERT_TRUE(engine->lastStatus());
  std::vector<Field> changes;
  QObject::connect(model.get(), &BridgeModel::changed,
                   [&changes](Field field) { changes.push_back(field); });
  runTask(model->refreshStatus());
  EXPECT_EQ(model->status(), engine->lastStatus());
  EXPECT_FALSE(model->statusError());
  EXPECT_EQ(changes, (std::vector<Field>{Field::status, Field::statusError}));
  runTask(std::move(job));
}

// A choice made automatically is made again when its device answers as no TEPRA PRO, another
// printer is paired and the last automatic choice lies more than reprobeInterval in the past.
TEST_F(BridgeModelPrintersTest, ANotATepraProAnswerLeadsToANewChoiceAtMostOncePerInterval) {
  struct Case {
    const char* name;
    int paired;
    std::optional<bool> rememberedAuto;  // none: chosen automatically at start
    std::chrono::milliseconds later;
    bool reprobes;
  };
  const Case cases[] = {
      {"manual choice", 2, false, 0ms, false},
      {"automatic, not chosen in this run", 2, true, 0ms, true},
      {"automatic, one printer", 1, true, 0ms, false},
      {"chosen just now", 2, std::nullopt, 0ms, false},
      {"chosen exactly an interval ago", 2, std::nullopt, 600'000ms, false},
      {"chosen just over an interval ago", 2, std::nullopt, 600'001ms, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSettings().clear();
    devices = std::make_shared<testing::SimulatedDevices>();
    Device& first = pair("TEPRA PRO", "00-11-22-33-44-01");
    Device* second = c.paired > 1 ? &pair("TEPRA PRO 2", "00-11-22-33-44-02") : nullptr;
    if (c.rememberedAuto) remember(first.address, *c.rememberedAuto);
    const auto model = startedModel();
    ASSERT_EQ(model->selected(), first.address);

    first.printer.setGarbage(true);
    now += c.later;
    runTask(model->refreshStatus());
    if (c.reprobes) {
      EXPECT_EQ(model->selected(), second->address);
      EXPECT_TRUE(model->status());
      EXPECT_FALSE(model->statusError());
      EXPECT_EQ(model->lastAutoChoice(), now);
      EXPECT_TRUE(model->autoChosen());
    } else {
      EXPECT_EQ(model->selected(), first.address);
      EXPECT_EQ(model->statusError(), notATepraPro);
      if (second != nullptr) {
        EXPECT_EQ(second->engines, 0);
      }
    }
    EXPECT_FALSE(model->checking());
    EXPECT_FALSE(model->choosingPrinter());
  }
}

TEST_F(BridgeModelPrintersTest, AReprobeIsNotRepeatedWithinTheInterval) {
  Device& first = pair("TEPRA PRO", "00-11-22-33-44-01");
  Device& second = pair("TEPRA PRO 2", "00-11-22-33-44-02");
  remember(first.address, true);
  const auto model = startedModel();
  first.printer.setGarbage(true);
  runTask(model->refreshStatus());
  ASSERT_EQ(model->selected(), second.address);

  second.printer.setGarbage(true);
  first.printer.setGarbage(false);
  now += 599s;
  runTask(model->refreshStatus());
  EXPECT_EQ(model->selected(), second.address);
  EXPECT_EQ(model->statusError(), notATepraPro);
}

TEST_F(BridgeModelPrintersTest, TestPrint) {
  struct Case {
    const char* name;
    bool paired;
    std::uint8_t tapeCode;
    std::uint8_t problemCode;
    Answers answers;
    bool coverOpensDuringJob;
    std::optional<std::string> message;
    int dots;  // of the label printed; 0 for none
  };
  const Case cases[] = {
      {"no printer", false, 0x04, 0x00, Answers::tepraPro, false, std::nullopt, 0},
      {"18 mm", true, 0x04, 0x00, Answers::tepraPro, false, "Test label printed", 216},
      {"12 mm", true, 0x03, 0x00, Answers::tepraPro, false, "Test label printed", 144},
      {"no tape reported", true, 0x00, 0x00, Answers::tepraPro, false, "Tape width unknown", 0},
      {"a tape code of no known width", true, 0x07, 0x00, Answers::tepraPro, false,
       "Tape width unknown", 0},
      {"cover open", true, 0x04, 0x21, Answers::tepraPro, false, "The cover is open", 0},
      {"no answer", true, 0x04, 0x00, Answers::silent, false, noReply, 0},
      {"cover opens during the job", true, 0x04, 0x00, Answers::tepraPro, true,
       "Printer problem: coverOpen", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QSettings().clear();
    devices = std::make_shared<testing::SimulatedDevices>();
    Device* device = c.paired ? &pair("TEPRA PRO", "00-11-22-33-44-01", c.answers) : nullptr;
    if (device != nullptr) {
      remember(device->address, false);
      device->printer.settings().tapeCode = c.tapeCode;
      device->printer.settings().problemCode = c.problemCode;
      if (c.coverOpensDuringJob) device->printer.openCoverDuringNextJob();
    }
    logged.clear();
    const auto model = startedModel();
    std::vector<std::optional<std::string>> busy;
    QObject::connect(model.get(), &BridgeModel::changed, [&](Field field) {
      if (field == Field::busy) busy.push_back(model->busy());
    });

    runTask(model->testPrint());
    EXPECT_EQ(model->lastMessage(), c.message);
    if (c.paired) {
      EXPECT_EQ(busy,
                (std::vector<std::optional<std::string>>{"Printing a test label…", std::nullopt}));
    } else {
      EXPECT_TRUE(busy.empty());
    }
    if (device == nullptr) continue;
    const std::vector<PrinterKit::RasterLabel>& printed = device->printer.printedLabels();
    if (c.dots == 0) {
      EXPECT_EQ(device->printer.jobsCompleted(), 0);
      continue;
    }
    ASSERT_EQ(printed.size(), 1u);
    const int mm = c.dots == 216 ? 18 : 12;
    EXPECT_EQ(printed.front(),
              BridgeModel::testLabel(c.dots, std::to_string(mm) + " mm OK").columns(c.dots));
    EXPECT_EQ(model->status(), Access::currentPrinter(*model)->lastStatus());
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const std::string& line) {
      return line.starts_with("[printer] sent ");
    }));
  }
}

TEST_F(BridgeModelPrintersTest, ATestPrintDuringAJobSaysThePrinterIsBusy) {
  Device& device = pair("TEPRA PRO", "00-11-22-33-44-01");
  remember(device.address, false);
  const auto model = startedModel();
  const std::shared_ptr<PrinterKit::SPPPrinter> engine = Access::currentPrinter(*model);
  PrinterKit::RasterLabel label(216);
  label.appendBlankLines(30);
  QCoro::Task<> job = engine->print({label}, 18);
  ASSERT_TRUE(engine->isPrinting());
  const int writes = device.writes;
  bool busyChanged = false;
  QObject::connect(model.get(), &BridgeModel::changed, [&](Field field) {
    if (field == Field::busy) busyChanged = true;
  });
  runTask(model->testPrint());
  EXPECT_EQ(model->lastMessage(), "The printer is busy");
  EXPECT_FALSE(busyChanged);
  EXPECT_EQ(device.writes, writes);
  runTask(std::move(job));
  EXPECT_EQ(device.printer.printedLabels().size(), 1u);
}

TEST(BridgeModelProblemTextTest, OneTextPerProblem) {
  using Problem = PrinterStatus::Problem;
  EXPECT_EQ(BridgeModel::problemText(Problem::coverOpen), "The cover is open");
  EXPECT_EQ(BridgeModel::problemText(Problem::noCassette), "No tape cassette");
  EXPECT_EQ(BridgeModel::problemText(Problem::unknown), "The printer reports a problem");
}

// The text's advance and line height at 0.36 * dots points, one point per pixel.
std::pair<double, double> measure(int dots, const std::string& text) {
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setWeight(QFont::DemiBold);
  font.setPointSizeF(0.36 * dots);
  QImage device(1, 1, QImage::Format_Grayscale8);
  device.setDotsPerMeterX(2835);
  device.setDotsPerMeterY(2835);
  const QFontMetricsF metrics(font, &device);
  return {metrics.horizontalAdvance(QString::fromStdString(text)), metrics.height()};
}

// The smallest rectangle that holds every ink pixel; right and bottom are exclusive.
struct Ink {
  int pixels = 0;
  int left = 0;
  int right = 0;
  int top = 0;
  int bottom = 0;
};

Ink ink(const PrinterKit::LabelBitmap& label) {
  Ink found{0, label.width(), 0, label.height(), 0};
  for (int y = 0; y < label.height(); ++y) {
    for (int x = 0; x < label.width(); ++x) {
      if (!label.pixel(x, y)) continue;
      ++found.pixels;
      found.left = std::min(found.left, x);
      found.right = std::max(found.right, x + 1);
      found.top = std::min(found.top, y);
      found.bottom = std::max(found.bottom, y + 1);
    }
  }
  return found;
}

TEST(BridgeModelTestLabelTest, TheTextFollowsTheLeftMarginCentredAcrossTheTape) {
  for (const auto& [mm, dots] : PrinterKit::TepraPro::dotsByTape) {
    const std::string text = std::to_string(mm) + " mm OK";
    SCOPED_TRACE(text);
    const auto [advance, height] = measure(dots, text);
    const PrinterKit::LabelBitmap label = BridgeModel::testLabel(dots, text);
    EXPECT_EQ(label.height(), dots);
    EXPECT_EQ(label.width(), static_cast<int>(advance) + dots / 2);

    // Nothing in the left margin or after the text (but for the last glyph's overhang of a pixel
    // or two); the text's box is centred across the tape.
    const Ink found = ink(label);
    EXPECT_GT(found.pixels, dots * 4);
    EXPECT_GE(found.left, dots / 4);
    EXPECT_LT(found.left, dots / 4 + dots / 16);
    EXPECT_LE(found.right, static_cast<int>(std::ceil(dots * 0.25 + advance)) + dots / 64);
    EXPECT_GT(found.right, static_cast<int>(dots * 0.25 + advance * 0.8));
    EXPECT_GE(found.top, static_cast<int>(std::floor((dots - height) * 0.5)));
    EXPECT_LE(found.bottom, static_cast<int>(std::ceil((dots + height) * 0.5)));
  }
}

TEST(BridgeModelTestLabelTest, TheFirstRowIsTheTopOfTheText) {
  // An underscore lies below the baseline: in the lower half of the tape, near the box's bottom.
  const Ink found = ink(BridgeModel::testLabel(216, "_"));
  EXPECT_GT(found.pixels, 0);
  EXPECT_GT(found.top, 216 / 2);
  EXPECT_LE(found.bottom, static_cast<int>(std::ceil((216 + measure(216, "_").second) * 0.5)));
}

TEST(BridgeModelTestLabelTest, ASurfaceThatCannotBeMadeIsAFailure) {
  EXPECT_THROW(BridgeModel::testLabel(1, ""), std::runtime_error);
}

}  // namespace
}  // namespace KelmVododIdizor
