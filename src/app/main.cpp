#include "frmorvendal.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));

    orvendal::ui::frmOrvendal window;
    // Queued, so that an error in the first refresh, before the event loop runs, still ends it.
    QObject::connect(&window, &orvendal::ui::frmOrvendal::ended, &app, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    window.show();
    return QApplication::exec();
}
