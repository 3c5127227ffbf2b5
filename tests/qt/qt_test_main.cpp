// The test program of the desktop front end: one QApplication for all tests,
// on the offscreen platform unless the environment names another.
#include <gtest/gtest.h>

#include <QApplication>
#include <QStyleFactory>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (QStyle* style = QStyleFactory::create("Fusion")) QApplication::setStyle(style);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
