#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QLocale>
#include <QUrl>

#include "KelmVododIdizor/BridgeModel.h"
#include "KelmVododIdizor/PrinterDirectory.h"
#include "KelmVododIdizor/UpdateCheck.h"
#include "PrinterKit/PrinterStatus.h"

namespace KelmVododIdizor {

// What the menu panel shows for one state of the model: which parts are there, every text, and
// which controls are enabled. A plain value, recomputed from scratch whenever the model changes;
// the panel adds no state of its own.
struct PanelState {
  enum class Color { orange, secondary, green };
  // The attention box above the printer section, and which section it holds.
  enum class Attention { none, certificate, renewal };
  // The printer section: still listing, nothing paired, or the paired printers.
  enum class PrinterForm { looking, nonePaired, list };
  // The bottom line: nothing, a spinner with the action in progress, or the last message.
  enum class BottomLine { none, busy, message };

  // The model's observable fields the panel reads, copied, so that a state can be written down
  // without a model.
  struct Inputs {
    std::string version;
    std::string webHost;
    std::optional<Update> update;
    bool runningFromDiskImage = false;
    bool noticeAccepted = false;
    std::vector<PairedPrinter> printers;
    std::optional<std::string> selected;
    bool choosingPrinter = false;
    bool loadingPrinters = false;
    std::optional<PrinterKit::PrinterStatus> status;
    std::optional<std::string> statusError;
    bool checking = false;
    BridgeModel::CertState cert;
    bool serverRunning = false;
    std::optional<std::string> busy;
    std::optional<std::string> lastMessage;
    bool launchAtLogin = false;

    static Inputs from(const BridgeModel& model);
  };

  struct Button {
    std::string text;
    bool enabled = true;
    bool operator==(const Button&) const = default;
  };

  // The renewal date is written in `locale`'s short date format, without a time, in local time.
  static PanelState compute(const Inputs& inputs, const QLocale& locale = QLocale());

  // Header.
  std::string versionText;
  // Only with an offered update: the link's text and where it leads.
  std::optional<std::string> updateText;
  QUrl updateURL;
  bool showsDiskImageWarning = false;

  // The first-run notice replaces the attention box, the printer section and the footer.
  bool showsNotice = false;

  Attention attention = Attention::none;
  std::string attentionTitle;
  std::string attentionText;
  // "Set up…", "Trust the certificate…" or "Renew…".
  Button attentionButton;

  PrinterForm printerForm = PrinterForm::looking;
  // The picker's options, in order, and the index of the selected one; -1 when none is selected
  // or the selected printer is not listed.
  std::vector<PairedPrinter> pickerOptions;
  int pickerIndex = -1;
  bool pickerEnabled = true;
  std::string statusText;
  Color statusColor = Color::secondary;
  bool refreshEnabled = true;
  bool testPrintEnabled = false;

  // Footer.
  Color listeningColor = Color::secondary;
  std::string listeningText;
  bool openAtLoginOn = false;
  bool openAtLoginEnabled = true;
  QUrl homeURL;

  BottomLine bottomLine = BottomLine::none;
  std::string bottomText;

  // Texts the panel shows as they stand.
  static constexpr const char* title = "Kelm™ Vodod Idizor";
  static constexpr const char* diskImageWarning =
      "Move Kelm™ Vodod Idizor to Applications, then open it from there.";
  static constexpr const char* noticeLead = "Print Kelm™ labels to a TEPRA PRO over Bluetooth.";
  static constexpr const char* noticeText =
      "This is a beta. It has been tested with the SR-MK1 only; other Bluetooth TEPRA PRO models "
      "may work. It is not made or supported by KING JIM — for problems with the printer itself, "
      "this app is not the place to ask.";
  static constexpr const char* lookingText = "Looking for a TEPRA PRO…";
  static constexpr const char* nonePairedText =
      "No printer paired. Turn the printer on and pair it in your Bluetooth settings.";
};

}  // namespace KelmVododIdizor
