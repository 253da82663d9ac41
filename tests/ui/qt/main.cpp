#include "spanishtranslation.h"
#include "tempdir.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

// The window tests need a QApplication named and translated as the program's, for the boxes'
// titles and buttons, and a settings folder of their own: the window remembers its place there.
int main(int argc, char* argv[]) {
    const orvendal::testing::TempDir config;
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    orvendal::ui::installSpanishTranslation(app);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
