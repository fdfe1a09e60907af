// The main of test programs whose tests make widgets: one QApplication for the whole run, in the
// Fusion style, on the offscreen platform unless another one is asked for, so the tests need no
// display and see the same widget metrics on every desktop.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QStyleFactory>
#include <QtGlobal>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  const int result = RUN_ALL_TESTS();
  // Objects whose deletion was deferred (e.g. the watchers of awaited futures, replaced panel
  // contents) go now, so that the leak checker sees only real leaks.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return result;
}
