#include "KelmVododIdizor/IconWatch.h"

#include "Base/Require.h"

namespace KelmVododIdizor {

IconWatch::IconWatch(BridgeModel& model, std::chrono::milliseconds debounce, QObject* parent)
    : QObject(parent), model_(&model) {
  KELM_REQUIRE(debounce.count() >= 0);
  debounce_.setSingleShot(true);
  // A coarse timer may fire a few percent early; the badge waits the whole interval.
  debounce_.setTimerType(Qt::PreciseTimer);
  debounce_.setInterval(debounce);
  connect(&debounce_, &QTimer::timeout, this, &IconWatch::announce);
  connect(&model, &BridgeModel::changed, this, [this](BridgeModel::Field field) {
    using Field = BridgeModel::Field;
    switch (field) {
      case Field::status:
      case Field::statusError:
      case Field::cert:
      case Field::serverRunning:
        debounce_.start();
        break;
      default:
        break;
    }
  });
  debounce_.start();
}

bool IconWatch::problem(const std::optional<PrinterKit::PrinterStatus>& status,
                        const std::optional<std::string>& statusError,
                        const BridgeModel::CertState& cert, bool serverRunning,
                        bool noticeAccepted) {
  if ((status && status->problem) || statusError) return true;
  if (!noticeAccepted) return false;
  return !serverRunning || cert.kind != BridgeModel::CertState::Kind::trusted;
}

void IconWatch::announce() {
  if (!model_) return;
  emit iconChanged(problem(model_->status(), model_->statusError(), model_->cert(),
                           model_->serverRunning(), model_->noticeAccepted()));
}

}  // namespace KelmVododIdizor
