#include "Async/Async.h"

#include <QTimer>
#include <QtGlobal>

#include "Base/Require.h"

namespace Async {

namespace {

// Owns `work` for as long as the task it makes runs, and keeps its exceptions from vanishing.
QCoro::Task<> runLogged(std::function<QCoro::Task<>()> work) {
  try {
    co_await work();
  } catch (const std::exception& e) {
    qWarning("task failed: %s", e.what());
  } catch (...) {
    qWarning("task failed with an exception of unknown type");
  }
}

}  // namespace

void start(QObject* context, std::function<QCoro::Task<>()> work) {
  KELM_REQUIRE(context != nullptr);
  KELM_REQUIRE(static_cast<bool>(work));
  QTimer::singleShot(0, context,
                     [work = std::move(work)]() mutable { runLogged(std::move(work)); });
}

}  // namespace Async
