#include "arguments.h"
#include "commandline.h"
#include "error.h"
#include "escape.h"
#include "frmorvendal.h"
#include "messagebox.h"
#include "refreshdriver.h"
#include "sharedfile.h"
#include "smburl.h"
#include "spanishtranslation.h"
#include "stationfilechooser.h"
#include "stationfilesetting.h"
#include "stationreader.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <optional>
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

// The station file when the command line names none: the one a settings file names; else the
// one beside the program, unless it cannot be opened and the user names another instead. Nothing
// means the window's own default, beside the program. Throws Error for a bad settings file.
std::optional<std::string> stationFileWithoutArgument() {
    using namespace orvendal;
    if (auto setting = files::configuredStationFile()) {
        return setting->stationFile;
    }
    try {
        // Opened as the first refresh will open it, created empty when missing.
        files::SharedFile::open(station::defaultStationFileName()).close();
        return std::nullopt;
    } catch (const Error& e) {
        // Cancelled, the first refresh meets the same error and the program ends with it.
        return ui::askForStationFile(QString::fromStdString(e.text('-')));
    }
}

} // namespace

int main(int argc, char* argv[]) {
    using namespace orvendal;
    std::vector<std::string> args = arguments(argc, argv);
    // Help needs no display: answered before Qt looks for one.
    if (Arguments::wantsHelp(args)) {
        std::fputs(app::kUsage, stdout);
        return 0;
    }
    // The whole command line is checked before Qt, which may fail for want of a display and
    // leave a password on show. Qt is then given its own options only.
    std::vector<std::string> qtOptions;
    app::CommandLine line;
    try {
        files::refusePasswordsInArguments(args);
        qtOptions = app::takeQtOptions(args);
        line = app::takeCommandLine(args);
    } catch (const UsageError& e) {
        return usageError(e.what());
    }
    if (line.version) {
        std::fputs(app::kVersionLine, stdout);
        return 0;
    }
    std::vector<char*> qtArgv{argc > 0 ? argv[0] : const_cast<char*>("orvendal")};
    for (std::string& option : qtOptions) {
        qtArgv.push_back(option.data());
    }
    qtArgv.push_back(nullptr);
    int qtArgc = static_cast<int>(qtArgv.size()) - 1;
    QApplication application(qtArgc, qtArgv.data());
    QApplication::setApplicationName(QStringLiteral("Orvendal"));
    ui::installSpanishTranslation(application);

    std::optional<std::string> stationFile = line.stationFile;
    if (!stationFile) {
        try {
            stationFile = stationFileWithoutArgument();
        } catch (const Error& e) {
            // Started from the desktop's menu, nobody reads standard error: a box tells it too.
            std::fprintf(stderr, "orvendal: %s\n", printable(e.description()).c_str());
            ui::messageBox(nullptr, QString::fromStdString(e.description()));
            return 1;
        }
    }

    ui::frmOrvendal window;
    if (stationFile) {
        window.MLP_SetFileName(*stationFile);
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
