#include "KelmVododIdizor/PanelState.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

namespace KelmVododIdizor {
namespace {

using Color = PanelState::Color;
using Attention = PanelState::Attention;
using PrinterForm = PanelState::PrinterForm;
using BottomLine = PanelState::BottomLine;
using CertState = BridgeModel::CertState;
using PrinterKit::PrinterStatus;
using State = PrinterStatus::State;
using Problem = PrinterStatus::Problem;

PrinterStatus status(State state, std::optional<int> tapeMm,
                     std::optional<Problem> problem = std::nullopt) {
  return PrinterStatus{state, problem, tapeMm, 0, 0, 0};
}

// A user past the notice with a trusted certificate and one chosen printer.
PanelState::Inputs working() {
  PanelState::Inputs in;
  in.version = "1.2.0";
  in.webHost = "kelm.example";
  in.noticeAccepted = true;
  in.cert = CertState::trusted(std::chrono::system_clock::now() + std::chrono::hours(24 * 300));
  in.printers = {{"SR-MK1", "FC:0F:E7:00:00:01"}, {"Speaker", "00:11:22:33:44:55"}};
  in.selected = "FC:0F:E7:00:00:01";
  return in;
}

struct StatusCase {
  const char* name;
  bool choosing;
  bool checking;
  std::optional<PrinterStatus> status;
  std::optional<std::string> error;
  std::string text;
  Color color;
};

TEST(PanelStateTest, StatusTextAndColorFollowTheFirstRuleThatApplies) {
  const PrinterStatus ready12 = status(State::ready, 12);
  const std::vector<StatusCase> cases = {
      {"choosing wins over everything", true, true, ready12, "No answer",
       "Looking for a TEPRA PRO…", Color::orange},
      {"first query", false, true, std::nullopt, std::nullopt, "Checking…", Color::secondary},
      {"first query wins over a failure", false, true, std::nullopt, "No answer", "Checking…",
       Color::orange},
      {"a query with an earlier status keeps it", false, true, ready12, std::nullopt,
       "Ready · 12 mm tape", Color::green},
      {"failure", false, false, std::nullopt, "The printer did not answer",
       "The printer did not answer", Color::orange},
      {"failure wins over an earlier status", false, false, ready12, "The printer did not answer",
       "The printer did not answer", Color::orange},
      {"no status", false, false, std::nullopt, std::nullopt, "Not checked yet", Color::secondary},
      {"problem", false, false, status(State::ready, std::nullopt, Problem::coverOpen),
       std::nullopt, "The cover is open", Color::orange},
      {"unknown problem", false, false, status(State::unknown, std::nullopt, Problem::unknown),
       std::nullopt, "The printer reports a problem", Color::orange},
      {"printing", false, false, status(State::printing, 18), std::nullopt, "Printing · 18 mm tape",
       Color::green},
      {"printing, tape unknown", false, false, status(State::printing, std::nullopt), std::nullopt,
       "Printing · tape width unknown", Color::green},
      {"ready, tape unknown", false, false, status(State::ready, std::nullopt), std::nullopt,
       "Ready · tape width unknown", Color::green},
      {"unknown state reads as ready", false, false, status(State::unknown, 24), std::nullopt,
       "Ready · 24 mm tape", Color::green},
  };
  for (const StatusCase& c : cases) {
    PanelState::Inputs in = working();
    in.choosingPrinter = c.choosing;
    in.checking = c.checking;
    in.status = c.status;
    in.statusError = c.error;
    const PanelState state = PanelState::compute(in);
    EXPECT_EQ(state.statusText, c.text) << c.name;
    EXPECT_EQ(state.statusColor, c.color) << c.name;
  }
}

TEST(PanelStateTest, TheNoticeStandsAloneUntilAccepted) {
  PanelState::Inputs in = working();
  in.noticeAccepted = false;
  EXPECT_TRUE(PanelState::compute(in).showsNotice);
  in.noticeAccepted = true;
  EXPECT_FALSE(PanelState::compute(in).showsNotice);
}

TEST(PanelStateTest, TheCertificateStateDecidesTheAttentionBox) {
  const auto until = std::chrono::system_clock::now() + std::chrono::hours(24 * 10);
  const std::string explanation =
      "kelm.example talks to this app at https://127.0.0.1. For Chrome and Firefox to accept it, "
      "they need to trust a certificate made on this computer, for 127.0.0.1 only.";
  struct Case {
    CertState cert;
    Attention attention;
    std::string title;
    std::string button;
  };
  const std::vector<Case> cases = {
      {CertState::missing(), Attention::certificate, "Connect Kelm™ in your browser", "Set up…"},
      {CertState::untrusted(), Attention::certificate, "Connect Kelm™ in your browser",
       "Trust the certificate…"},
      {CertState::renewSoon(until), Attention::renewal, "Renew the certificate", "Renew…"},
      {CertState::trusted(until), Attention::none, "", ""},
  };
  for (const Case& c : cases) {
    PanelState::Inputs in = working();
    in.cert = c.cert;
    const PanelState state = PanelState::compute(in);
    const auto kind = static_cast<int>(c.cert.kind);
    EXPECT_EQ(state.attention, c.attention) << kind;
    EXPECT_EQ(state.attentionTitle, c.title) << kind;
    EXPECT_EQ(state.attentionButton.text, c.button) << kind;
    if (c.attention == Attention::certificate) {
      EXPECT_EQ(state.attentionText, explanation) << kind;
    }
  }
}

TEST(PanelStateTest, TheRenewalTextGivesTheEndDateInTheLocalesShortFormWithoutATime) {
  // Noon UTC: the same calendar day in every time zone from UTC-11 to UTC+11.
  const QDateTime noon(QDate(2026, 12, 24), QTime(12, 0), QTimeZone::utc());
  const BridgeModel::Moment until{std::chrono::milliseconds(noon.toMSecsSinceEpoch())};
  PanelState::Inputs in = working();
  in.cert = CertState::renewSoon(until);
  const std::string lead = "The certificate that lets your browser reach this app ends on ";
  EXPECT_EQ(PanelState::compute(in, QLocale(QLocale::English, QLocale::UnitedStates)).attentionText,
            lead + "12/24/26. Make a new one now.");
  EXPECT_EQ(PanelState::compute(in, QLocale(QLocale::German, QLocale::Germany)).attentionText,
            lead + "24.12.26. Make a new one now.");
}

TEST(PanelStateTest, ThePrinterSectionShowsTheListOnceThereIsOne) {
  struct Case {
    bool loading;
    bool listed;
    PrinterForm form;
  };
  for (const Case& c :
       {Case{true, false, PrinterForm::looking}, Case{false, false, PrinterForm::nonePaired},
        Case{true, true, PrinterForm::list}, Case{false, true, PrinterForm::list}}) {
    PanelState::Inputs in = working();
    in.loadingPrinters = c.loading;
    if (!c.listed) in.printers.clear();
    EXPECT_EQ(PanelState::compute(in).printerForm, c.form) << c.loading << c.listed;
  }
}

TEST(PanelStateTest, ThePickerShowsTheSelectedPrinterOnlyWhenItIsListed) {
  PanelState::Inputs in = working();
  in.selected = "00:11:22:33:44:55";
  PanelState state = PanelState::compute(in);
  EXPECT_EQ(state.pickerOptions, in.printers);
  EXPECT_EQ(state.pickerIndex, 1);
  in.selected = "AA:BB:CC:DD:EE:FF";
  EXPECT_EQ(PanelState::compute(in).pickerIndex, -1);
  in.selected.reset();
  EXPECT_EQ(PanelState::compute(in).pickerIndex, -1);
}

TEST(PanelStateTest, BusyChoosingAndCheckingDisableTheirControls) {
  struct Case {
    const char* name;
    bool busy;
    bool choosing;
    bool checking;
    std::optional<PrinterStatus> status;
    bool setUp;
    bool picker;
    bool refresh;
    bool testPrint;
  };
  const PrinterStatus ready18 = status(State::ready, 18);
  const std::vector<Case> cases = {
      {"idle with a known tape", false, false, false, ready18, true, true, true, true},
      {"busy", true, false, false, ready18, false, true, true, false},
      {"choosing", false, true, false, std::nullopt, true, false, true, false},
      {"checking with an earlier status", false, false, true, ready18, true, true, false, true},
      {"no status", false, false, false, std::nullopt, true, true, true, false},
      {"tape width unknown", false, false, false, status(State::ready, std::nullopt), true, true,
       true, false},
      {"problem", false, false, false, status(State::ready, std::nullopt, Problem::noCassette),
       true, true, true, false},
  };
  for (const CertState& cert : {CertState::missing(), CertState::untrusted(),
                                CertState::renewSoon(std::chrono::system_clock::now())}) {
    for (const Case& c : cases) {
      PanelState::Inputs in = working();
      in.cert = cert;
      if (c.busy) in.busy = "Trusting the certificate…";
      in.choosingPrinter = c.choosing;
      in.checking = c.checking;
      in.status = c.status;
      const PanelState state = PanelState::compute(in);
      EXPECT_EQ(state.attentionButton.enabled, c.setUp) << c.name;
      EXPECT_EQ(state.pickerEnabled, c.picker) << c.name;
      EXPECT_EQ(state.refreshEnabled, c.refresh) << c.name;
      EXPECT_EQ(state.testPrintEnabled, c.testPrint) << c.name;
    }
  }
}

TEST(PanelStateTest, TheBottomLineShowsTheActionInProgressBeforeTheLastMessage) {
  PanelState::Inputs in = working();
  EXPECT_EQ(PanelState::compute(in).bottomLine, BottomLine::none);
  in.lastMessage = "Test label printed";
  PanelState state = PanelState::compute(in);
  EXPECT_EQ(state.bottomLine, BottomLine::message);
  EXPECT_EQ(state.bottomText, "Test label printed");
  in.busy = "Trusting the certificate…";
  state = PanelState::compute(in);
  EXPECT_EQ(state.bottomLine, BottomLine::busy);
  EXPECT_EQ(state.bottomText, "Trusting the certificate…");
}

TEST(PanelStateTest, HeaderAndFooterTexts) {
  PanelState::Inputs in = working();
  PanelState state = PanelState::compute(in);
  EXPECT_EQ(state.versionText, "v1.2.0");
  EXPECT_FALSE(state.updateText);
  EXPECT_EQ(state.listeningColor, Color::secondary);
  EXPECT_EQ(state.listeningText, "Not listening yet");
  EXPECT_FALSE(state.openAtLoginOn);
  EXPECT_TRUE(state.openAtLoginEnabled);
  EXPECT_EQ(state.homeURL, QUrl("https://kelm.example/home"));

  in.update = Update{"1.3.0", QUrl("https://kelm.example/downloads/kelm-1.3.0.deb")};
  in.serverRunning = true;
  in.launchAtLogin = true;
  state = PanelState::compute(in);
  EXPECT_EQ(state.updateText, "Version 1.3.0 is available — download");
  EXPECT_EQ(state.updateURL, in.update->url);
  EXPECT_EQ(state.listeningColor, Color::green);
  EXPECT_EQ(state.listeningText, "Kelm™ can reach this app");
  EXPECT_TRUE(state.openAtLoginOn);

  in.runningFromDiskImage = true;
  state = PanelState::compute(in);
  EXPECT_TRUE(state.showsDiskImageWarning);
  EXPECT_FALSE(state.openAtLoginEnabled);
}

}  // namespace
}  // namespace KelmVododIdizor
