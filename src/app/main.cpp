#include "commandline.h"
#include "escape.h"
#include "frmorvendal.h"
#include "refreshdriver.h"
#include "spanishtranslation.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> arguments(int argc, char* argv[]) {
    return {argv + (argc > 0 ? 1 : 0), argv + argc};
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "orvendal: %s\n\n%s", orvendal::printable(message).c_str(),
                 orvendal::app::kUsage);
    return 2;
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace orvendal;
    // Help needs no display: answered before Qt looks for one.
    if (app::asksForHelp(arguments(argc, argv))) {
        std::fputs(app::kUsage, stdout);
        return 0;
    }
    // Before Qt, which may fail for want of a display and leave the password on show.
    try {
        app::refusePasswords(arguments(argc, argv));
    } catch (const app::UsageError& e) {
        return usageError(e.what());
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    ui::installSpanishTranslation(application);

    // Qt has taken its own options (-platform, -display...) out of argv by now.
    app::CommandLine line;
    try {
        line = app::takeCommandLine(arguments(argc, argv));
    } catch (const app::UsageError& e) {
        return usageError(e.what());
    }

    ui::frmOrvendal window;
    if (line.stationFile) {
        window.MLP_SetFileName(*line.stationFile);
    }
    // Queued, so that an error in the first refresh, before the event loop runs, still ends it.
    QObject::connect(&window, &ui::frmOrvendal::ended, &application, &QCoreApplication::exit,
                     Qt::QueuedConnection);
    window.show();
    const int status = QApplication::exec();
    if (station::RefreshDriver::workersRunning()) {
        // A refresh still waits on a silent file server: the program ends now, without waiting
        // for it or tearing down the SMB client under it.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}
