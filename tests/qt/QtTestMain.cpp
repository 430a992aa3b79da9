// Entry of the desktop front end's tests: one QApplication for every test (the
// widgets need it), created after the command line has been read so that listing
// the tests needs no display.
#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tarvex"));
  return RUN_ALL_TESTS();
}
