#include "spanishtranslation.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace orvendal::ui {

void installSpanishTranslation(QApplication& application) {
    auto* translator = new QTranslator(&application);
    if (translator->load(QStringLiteral("qtbase_es"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QApplication::installTranslator(translator);
    } else {
        delete translator;
    }
}

} // namespace orvendal::ui
