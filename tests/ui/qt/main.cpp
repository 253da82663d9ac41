#include "spanishtranslation.h"

#include <QApplication>

#include <gtest/gtest.h>

// The window tests need a QApplication named and translated as the program's, for the boxes'
// titles and buttons.
int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    orvendal::ui::installSpanishTranslation(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
