// The main of test programs whose tests use the Qt event loop: one QCoreApplication for the whole
// run, so that tests can run coroutines, timers and thread-pool work in local event loops.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  // Objects whose deletion was deferred (e.g. the watchers of awaited futures) go now, so that the
  // leak checker sees only real leaks.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return result;
}
