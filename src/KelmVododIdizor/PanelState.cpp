#include "KelmVododIdizor/PanelState.h"

#include <algorithm>
#include <chrono>

#include <QDate>
#include <QDateTime>

namespace KelmVododIdizor {

namespace {

using CertKind = BridgeModel::CertState::Kind;
using PrinterKit::PrinterStatus;

std::string tapeText(const PrinterStatus& status) {
  if (!status.tapeMm) return "tape width unknown";
  return std::to_string(*status.tapeMm) + " mm tape";
}

// The first rule that applies wins: a choice in progress, a first query, a failure, no status,
// a problem, then the printer's state with its tape.
std::string statusTextOf(const PanelState::Inputs& in) {
  if (in.choosingPrinter) return PanelState::lookingText;
  if (in.checking && !in.status) return "Checking…";
  if (in.statusError) return *in.statusError;
  if (!in.status) return "Not checked yet";
  if (in.status->problem) return BridgeModel::problemText(*in.status->problem);
  const char* lead =
      in.status->state == PrinterStatus::State::printing ? "Printing · " : "Ready · ";
  return lead + tapeText(*in.status);
}

PanelState::Color statusColorOf(const PanelState::Inputs& in) {
  if (in.statusError || (in.status && in.status->problem)) return PanelState::Color::orange;
  if (!in.status) return PanelState::Color::secondary;
  return PanelState::Color::green;
}

std::string dateText(BridgeModel::Moment moment, const QLocale& locale) {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(moment.time_since_epoch()).count();
  const QDate date = QDateTime::fromMSecsSinceEpoch(ms).date();
  return locale.toString(date, QLocale::ShortFormat).toStdString();
}

}  // namespace

PanelState::Inputs PanelState::Inputs::from(const BridgeModel& model) {
  Inputs in;
  in.version = model.version();
  in.webHost = model.webHost();
  in.update = model.update();
  in.runningFromDiskImage = model.runningFromDiskImage();
  in.noticeAccepted = model.noticeAccepted();
  in.printers = model.printers();
  in.selected = model.selected();
  in.choosingPrinter = model.choosingPrinter();
  in.loadingPrinters = model.loadingPrinters();
  in.status = model.status();
  in.statusError = model.statusError();
  in.checking = model.checking();
  in.cert = model.cert();
  in.serverRunning = model.serverRunning();
  in.busy = model.busy();
  in.lastMessage = model.lastMessage();
  in.launchAtLogin = model.launchAtLogin();
  return in;
}

PanelState PanelState::compute(const Inputs& in, const QLocale& locale) {
  PanelState state;
  state.versionText = "v" + in.version;
  if (in.update) {
    state.updateText = "Version " + in.update->version + " is available — download";
    state.updateURL = in.update->url;
  }
  state.showsDiskImageWarning = in.runningFromDiskImage;
  state.showsNotice = !in.noticeAccepted;

  const bool idle = !in.busy.has_value();
  switch (in.cert.kind) {
    case CertKind::missing:
    case CertKind::untrusted:
      state.attention = Attention::certificate;
      state.attentionTitle = "Connect Kelm™ in your browser";
      state.attentionText =
          in.webHost +
          " talks to this app at https://127.0.0.1. For Chrome and Firefox to accept it, they "
          "need to trust a certificate made on this computer, for 127.0.0.1 only.";
      state.attentionButton = {
          in.cert.kind == CertKind::missing ? "Set up…" : "Trust the certificate…", idle};
      break;
    case CertKind::renewSoon:
      state.attention = Attention::renewal;
      state.attentionTitle = "Renew the certificate";
      state.attentionText = "The certificate that lets your browser reach this app ends on " +
                            dateText(in.cert.until, locale) + ". Make a new one now.";
      state.attentionButton = {"Renew…", idle};
      break;
    case CertKind::trusted:
      break;
  }

  if (!in.printers.empty()) {
    state.printerForm = PrinterForm::list;
  } else {
    state.printerForm = in.loadingPrinters ? PrinterForm::looking : PrinterForm::nonePaired;
  }
  state.pickerOptions = in.printers;
  if (in.selected) {
    const auto found = std::find_if(
        in.printers.begin(), in.printers.end(),
        [&in](const PairedPrinter& printer) { return printer.address == *in.selected; });
    if (found != in.printers.end())
      state.pickerIndex = static_cast<int>(found - in.printers.begin());
  }
  state.pickerEnabled = !in.choosingPrinter;
  state.statusText = statusTextOf(in);
  state.statusColor = statusColorOf(in);
  state.refreshEnabled = !in.checking;
  state.testPrintEnabled = idle && in.status && in.status->tapeMm;

  state.listeningColor = in.serverRunning ? Color::green : Color::secondary;
  state.listeningText = in.serverRunning ? "Kelm™ can reach this app" : "Not listening yet";
  state.openAtLoginOn = in.launchAtLogin;
  state.openAtLoginEnabled = !in.runningFromDiskImage;
  state.homeURL.setScheme(QStringLiteral("https"));
  state.homeURL.setHost(QString::fromStdString(in.webHost));
  state.homeURL.setPath(QStringLiteral("/home"));

  if (in.busy) {
    state.bottomLine = BottomLine::busy;
    state.bottomText = *in.busy;
  } else if (in.lastMessage) {
    state.bottomLine = BottomLine::message;
    state.bottomText = *in.lastMessage;
  }
  return state;
}

}  // namespace KelmVododIdizor
