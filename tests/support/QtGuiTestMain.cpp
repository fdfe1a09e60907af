// The main of test programs whose tests draw (fonts, QPainter on images) as well as use the Qt
// event loop: one QGuiApplication for the whole run, on the offscreen platform unless another one
// is asked for, so the tests need no display.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QtGlobal>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  const int result = RUN_ALL_TESTS();
  // Objects whose deletion was deferred (e.g. the watchers of awaited futures) go now, so that the
  // leak checker sees only real leaks.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  return result;
}
