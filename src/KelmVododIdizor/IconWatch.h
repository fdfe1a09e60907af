#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <QObject>
#include <QPointer>
#include <QTimer>

#include "KelmVododIdizor/BridgeModel.h"
#include "PrinterKit/PrinterStatus.h"

namespace KelmVododIdizor {

// Keeps the tray icon in step with the model: whenever the printer's status, the status error,
// the certificate's state or the listener's state changes, it waits until they have rested for
// the debounce interval and then announces whether the mark needs its attention badge, computed
// from the model's values at that moment. The values at construction count as the first change,
// so the first announcement comes one interval after construction. A change of noticeAccepted
// alone announces nothing; it is read at the next announcement.
//
// Threads: the main thread only, the model's.
class IconWatch : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::milliseconds defaultDebounce{300};

  // The watch over `model`; once the model is gone it announces nothing more.
  // REQUIRES: debounce >= 0.
  explicit IconWatch(BridgeModel& model, std::chrono::milliseconds debounce = defaultDebounce,
                     QObject* parent = nullptr);

  // Whether the mark shows the badge. Printer trouble (a problem the printer reports, or a
  // failed status query) always does; before the first-run notice is accepted nothing else
  // does; after it, a listener that is not running or a certificate that is not trusted
  // (renewSoon included) does.
  static bool problem(const std::optional<PrinterKit::PrinterStatus>& status,
                      const std::optional<std::string>& statusError,
                      const BridgeModel::CertState& cert, bool serverRunning, bool noticeAccepted);

 signals:
  void iconChanged(bool problem);

 private:
  void announce();

  QPointer<BridgeModel> model_;
  QTimer debounce_;
};

}  // namespace KelmVododIdizor
