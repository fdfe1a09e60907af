#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <stdexcept>
#include <utility>

#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QSettings>

#include "Async/Async.h"
#include "Base/Require.h"
#include "KelmVododIdizor/BridgeModel.h"
#include "PrinterKit/PrinterChoice.h"
#include "PrinterKit/TepraPro.h"

// The paired printers, the choice among them, the chosen printer's engine and status, and the
// test label.
namespace KelmVododIdizor {

namespace {

using PrinterKit::PrinterChoice;
using PrinterKit::PrinterStatus;
using PrinterKit::SPPPrinter;
using Log = std::function<void(const std::string&)>;

// 72 dots per inch: one typographic point is one pixel.
constexpr int dotsPerMetre = 2835;

// The user's text for a failure: an SPPPrinterFailure's description, any other exception's own
// text.
std::string failureText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PrinterKit::SPPPrinterFailure& failure) {
    return failure.description();
  } catch (const std::exception& failure) {
    return failure.what();
  } catch (...) {
    return "Unknown failure";
  }
}

bool isNotATepraPro(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PrinterKit::SPPPrinterFailure& failure) {
    return failure.as<PrinterKit::SPPPrinterFailure::NotATepraPro>() != nullptr;
  } catch (...) {
    return false;
  }
}

// The name of the first listed device at `address`; none when it is not listed or has an empty
// name (the engine then shows the address).
std::optional<std::string> nameOf(const std::vector<PairedPrinter>& printers,
                                  const std::string& address) {
  const auto listed =
      std::find_if(printers.begin(), printers.end(),
                   [&address](const PairedPrinter& printer) { return printer.address == address; });
  if (listed == printers.end() || listed->name.empty()) return std::nullopt;
  return listed->name;
}

Log engineLog(Log log) {
  return [log = std::move(log)](const std::string& line) {
    if (log) log("[printer] " + line);
  };
}

// One probe of an automatic choice: a short-lived engine of its own, one status query, closed
// before the verdict is given. Every failure, making the engine included, is only a verdict.
QCoro::Task<PrinterChoice::Probe> probeDevice(std::shared_ptr<PrinterDirectory> directory,
                                              std::string address, std::optional<std::string> name,
                                              double timeout, Log log) {
  std::shared_ptr<SPPPrinter> engine;
  std::optional<PrinterChoice::Probe> verdict;
  std::exception_ptr error;
  try {
    engine = directory->engine(address, std::move(name));
    engine->log = engineLog(std::move(log));
    const PrinterStatus status = co_await engine->status(timeout);
    verdict = PrinterChoice::probe(status);
  } catch (...) {
    error = std::current_exception();
  }
  if (engine) engine->close();
  co_return verdict ? *verdict : PrinterChoice::probe(error);
}

// The test print on `printer` once it is known not to be printing: the message for the user, and
// whether the label was printed.
struct TestOutcome {
  std::string message;
  bool printed = false;
};

QCoro::Task<TestOutcome> runTestPrint(std::shared_ptr<SPPPrinter> printer, double timeout) {
  std::optional<PrinterStatus> status;
  std::exception_ptr error;
  try {
    status = co_await printer->status(timeout);
  } catch (...) {
    error = std::current_exception();
  }
  if (error) co_return TestOutcome{failureText(error)};
  const auto tape = status->tapeMm ? PrinterKit::TepraPro::dotsByTape.find(*status->tapeMm)
                                   : PrinterKit::TepraPro::dotsByTape.end();
  if (tape == PrinterKit::TepraPro::dotsByTape.end()) {
    co_return TestOutcome{status->problem ? BridgeModel::problemText(*status->problem)
                                          : "Tape width unknown"};
  }
  const auto [tapeMm, dots] = *tape;
  try {
    std::vector<PrinterKit::RasterLabel> labels;
    labels.push_back(BridgeModel::testLabel(dots, std::to_string(tapeMm) + " mm OK").columns(dots));
    co_await printer->print(std::move(labels), tapeMm);
  } catch (...) {
    error = std::current_exception();
  }
  if (error) co_return TestOutcome{failureText(error)};
  co_return TestOutcome{"Test label printed", true};
}

}  // namespace

void BridgeModel::reloadPrinters() {
  if (loadingPrinters_) return;
  assign(loadingPrinters_, true, Field::loadingPrinters);
  Async::start(this, [this] { return listPrinters(); });
}

QCoro::Task<> BridgeModel::listPrinters() {
  QPointer<BridgeModel> self(this);
  const std::shared_ptr<PrinterDirectory> directory = environment_.printers;
  std::vector<PairedPrinter> found;
  try {
    found = co_await directory->pairedPrinters();
  } catch (const std::exception& failure) {
    // The directory promises a list; a broken promise must not leave loadingPrinters set.
    if (self && environment_.log) environment_.log(std::string("[printer] ") + failure.what());
  }
  if (!self || closing_) co_return;
  assign(loadingPrinters_, false, Field::loadingPrinters);
  assign(printers_, std::move(found), Field::printers);
  if (printers_.empty()) co_return;
  const bool listed = selected_ && std::any_of(printers_.begin(), printers_.end(),
                                               [this](const PairedPrinter& printer) {
                                                 return printer.address == *selected_;
                                               });
  if (listed) co_return;
  co_await autoChoose();
  if (!self || closing_) co_return;
  co_await refreshStatus();
}

QCoro::Task<> BridgeModel::autoChoose() {
  if (choosingPrinter_ || printers_.empty() || (printer_ && printer_->isPrinting())) co_return;
  QPointer<BridgeModel> self(this);
  assign(choosingPrinter_, true, Field::choosingPrinter);
  lastAutoChoice_ = now();
  announcePrinterChange();
  dropPrinter();
  assign(status_, std::optional<PrinterStatus>(), Field::status);
  assign(statusError_, std::optional<std::string>(), Field::statusError);

  std::vector<std::string> candidates;
  for (const PairedPrinter& printer : printers_) candidates.push_back(printer.address);
  auto probe = [directory = environment_.printers, printers = printers_,
                timeout = environment_.statusTimeout, log = environment_.log](std::string address) {
    std::optional<std::string> name = nameOf(printers, address);
    return probeDevice(directory, std::move(address), std::move(name), timeout, log);
  };
  PrinterChoice::Prober prober = std::move(probe);
  const std::optional<std::string> chosen =
      co_await PrinterChoice::pick(std::move(candidates), std::move(prober));
  if (!self || closing_) co_return;

  const std::optional<std::string> name = chosen ? nameOf(printers_, *chosen) : std::nullopt;
  if (environment_.log) {
    environment_.log("[printer] chose " + name.value_or("none") + " automatically");
  }
  setChoice(chosen, true);
  assign(choosingPrinter_, false, Field::choosingPrinter);
}

void BridgeModel::setChoice(std::optional<std::string> address, bool autoChosen) {
  QSettings settings;
  autoChosen_ = autoChosen;
  settings.setValue(printerAutoChosenKey, autoChosen);
  if (address == selected_ && printer_) return;
  dropPrinter();
  if (address) {
    settings.setValue(printerAddressKey, QString::fromStdString(*address));
  } else {
    settings.remove(printerAddressKey);
  }
  assign(selected_, std::move(address), Field::selected);
  assign(status_, std::optional<PrinterStatus>(), Field::status);
  assign(statusError_, std::optional<std::string>(), Field::statusError);
  announcePrinterChange();
}

std::shared_ptr<SPPPrinter> BridgeModel::currentPrinter() {
  if (choosingPrinter_ || !selected_) return nullptr;
  if (printer_ && printer_->address() == *selected_) return printer_;
  const bool replaced = printer_ != nullptr;
  printer_ = makeEngine(*selected_, nameOf(printers_, *selected_));
  bridgePrinter_.reset();
  if (replaced) announcePrinterChange();
  return printer_;
}

std::shared_ptr<BridgeKit::BridgePrinter> BridgeModel::bridgePrinter() {
  const std::shared_ptr<SPPPrinter> engine = currentPrinter();
  if (!engine) return nullptr;
  if (!bridgePrinter_ || bridgePrinter_->printer() != engine) {
    bridgePrinter_ = std::make_shared<BridgeKit::SPPBridgePrinter>(engine);
  }
  return bridgePrinter_;
}

std::shared_ptr<SPPPrinter> BridgeModel::makeEngine(const std::string& address,
                                                    std::optional<std::string> name) {
  std::shared_ptr<SPPPrinter> engine = environment_.printers->engine(address, std::move(name));
  KELM_REQUIRE(engine != nullptr);
  engine->log = engineLog(environment_.log);
  return engine;
}

void BridgeModel::dropPrinter() {
  if (printer_) printer_->close();
  printer_.reset();
  bridgePrinter_.reset();
}

QCoro::Task<> BridgeModel::choosePrinter(std::string address) {
  setChoice(std::move(address), false);
  co_await refreshStatus();
}

QCoro::Task<> BridgeModel::refreshStatus() {
  if (choosingPrinter_) co_return;
  std::shared_ptr<SPPPrinter> printer = currentPrinter();
  if (!printer || checking_) co_return;
  if (printer->isPrinting()) {
    assign(status_, printer->lastStatus(), Field::status);
    assign(statusError_, std::optional<std::string>(), Field::statusError);
    co_return;
  }
  QPointer<BridgeModel> self(this);
  assign(checking_, true, Field::checking);
  std::optional<PrinterStatus> status;
  std::exception_ptr error;
  try {
    status = co_await printer->status(environment_.statusTimeout);
  } catch (...) {
    error = std::current_exception();
  }
  if (!self || closing_) co_return;
  if (!error) {
    assign(status_, std::move(status), Field::status);
    assign(statusError_, std::optional<std::string>(), Field::statusError);
    assign(checking_, false, Field::checking);
    co_return;
  }
  assign(status_, std::optional<PrinterStatus>(), Field::status);
  assign(statusError_, std::optional<std::string>(failureText(error)), Field::statusError);
  const bool due =
      !lastAutoChoice_ || std::chrono::duration<double>(now() - *lastAutoChoice_).count() >
                              environment_.reprobeInterval;
  if (isNotATepraPro(error) && autoChosen_ && printers_.size() > 1 && due) {
    assign(checking_, false, Field::checking);
    // The probes make engines of their own; this one is about to be dropped.
    printer.reset();
    co_await autoChoose();
    if (!self || closing_) co_return;
    co_await refreshStatus();
    if (!self || closing_) co_return;
  }
  assign(checking_, false, Field::checking);
}

QCoro::Task<> BridgeModel::testPrint() {
  std::shared_ptr<SPPPrinter> printer = currentPrinter();
  if (!printer) co_return;
  if (printer->isPrinting()) {
    setMessage("The printer is busy");
    co_return;
  }
  QPointer<BridgeModel> self(this);
  assign(busy_, std::optional<std::string>("Printing a test label…"), Field::busy);
  const TestOutcome outcome = co_await runTestPrint(printer, environment_.statusTimeout);
  if (!self || closing_) co_return;
  if (outcome.printed) assign(status_, printer->lastStatus(), Field::status);
  setMessage(outcome.message);
  assign(busy_, std::optional<std::string>(), Field::busy);
}

PrinterKit::LabelBitmap BridgeModel::testLabel(int dots, const std::string& text) {
  KELM_REQUIRE(dots > 0);
  const QString label = QString::fromStdString(text);
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setWeight(QFont::DemiBold);
  font.setPointSizeF(0.36 * dots);

  QImage surface(1, 1, QImage::Format_Grayscale8);
  surface.setDotsPerMeterX(dotsPerMetre);
  surface.setDotsPerMeterY(dotsPerMetre);
  const QFontMetricsF metrics(font, &surface);
  const double textWidth = metrics.horizontalAdvance(label);
  const double textHeight = metrics.height();
  const int width = static_cast<int>(textWidth) + dots / 2;

  QImage image(width, dots, QImage::Format_Grayscale8);
  if (image.isNull()) throw std::runtime_error("Could not draw the test label");
  image.setDotsPerMeterX(dotsPerMetre);
  image.setDotsPerMeterY(dotsPerMetre);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    // The text's box (descent to ascent) is centred across the tape: its lower edge lies
    // (dots - height) / 2 above the bottom row, and the baseline one descent above that.
    const double boxBottom = dots - (dots - textHeight) * 0.5;
    painter.drawText(QPointF(0.25 * dots, boxBottom - metrics.descent()), label);
  }

  std::vector<bool> pixels;
  pixels.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(dots));
  for (int y = 0; y < dots; ++y) {
    const uchar* row = image.constScanLine(y);
    for (int x = 0; x < width; ++x) pixels.push_back(row[x] < 128);
  }
  return PrinterKit::LabelBitmap(width, dots, pixels);
}

std::string BridgeModel::problemText(PrinterStatus::Problem problem) {
  switch (problem) {
    case PrinterStatus::Problem::coverOpen:
      return "The cover is open";
    case PrinterStatus::Problem::noCassette:
      return "No tape cassette";
    case PrinterStatus::Problem::unknown:
      break;
  }
  return "The printer reports a problem";
}

}  // namespace KelmVododIdizor
