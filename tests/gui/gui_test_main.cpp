// Test main of test_gui: with the widgets built, one QApplication on the
// offscreen platform serves every widget test.
#include <gtest/gtest.h>

#include <cstdlib>

#ifdef VANTOR_GUI_WIDGETS
#include <QApplication>
#endif

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
#ifdef VANTOR_GUI_WIDGETS
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
#endif
  return RUN_ALL_TESTS();
}
