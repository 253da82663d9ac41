#include <QApplication>

#include <gtest/gtest.h>

// The window tests need a QApplication named as the program's, for the boxes' titles.
int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
