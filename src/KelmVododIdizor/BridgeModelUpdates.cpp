#include <QPointer>

#include "Async/Async.h"

#include "KelmVododIdizor/BridgeModel.h"

// The daily pass, the update check and the login item.
namespace KelmVododIdizor {

QCoro::Task<> BridgeModel::dailyPass() {
  QPointer<BridgeModel> self(this);
  co_await checkForUpdate();
  if (!self || closing_) co_return;
  refreshCertificate();
  daily_.start(Async::timerInterval(environment_.dailyInterval));
}

QCoro::Task<> BridgeModel::checkForUpdate() {
  QPointer<BridgeModel> self(this);
  std::optional<Update> found = co_await UpdateCheck::fetch(
      network_, environment_.latestURL, environment_.version, environment_.build,
      environment_.webHost, environment_.updateTimeout);
  if (!self || closing_ || !found) co_return;
  assign(update_, std::move(found), Field::update);
}

void BridgeModel::setLaunchAtLogin(bool on) {
  if (runningFromDiskImage_ && on) {
    setMessage("Move Kelm™ Vodod Idizor to Applications first");
    return;
  }
  try {
    if (on) {
      environment_.loginItem->registerItem();
    } else {
      environment_.loginItem->unregisterItem();
    }
  } catch (const LoginItem::Error& error) {
    setMessage(std::string("Open at login: ") + error.what());
  }
  const LoginItem::Status status = environment_.loginItem->status();
  if (status == LoginItem::Status::requiresApproval) {
    setMessage("Allow it in System Settings › General › Login Items");
  }
  assign(launchAtLogin_, status == LoginItem::Status::enabled, Field::launchAtLogin);
}

}  // namespace KelmVododIdizor
