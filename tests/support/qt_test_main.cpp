// Test main for suites that need Qt: an offscreen application object, so that
// timers, socket notifiers and widgets work without a display.
#include <QApplication>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::setlocale(LC_ALL, "C.UTF-8");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
