#include "arguments.h"
#include "commandline.h"
#include "error.h"
#include "frmorvendal.h"
#include "refreshdriver.h"
#include "smbfile.h"
#include "smburl.h"
#include "win32text.h"

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// On Windows the station file is a local or UNC path; the system signs in to file servers itself.
constexpr const char* kUsage =
    "Uso: orvendal.exe [FICHERO-DE-ESTACIONES]\n"
    "Muestra qué puestos están conectados a un fichero de estaciones: cada refresco lista sus\n"
    "registros, y un registro que un puesto tiene bloqueado es una estación conectada.\n\n"
    "  FICHERO-DE-ESTACIONES\n"
    "                el fichero de estaciones que se vigila, una ruta local o UNC como\n"
    "                \\\\SERVIDOR\\RECURSO\\APLICACION\\MARLOVEN.SIT; si no se da, MARLOVEN.SIT\n"
    "                junto al programa.\n"
    "  -h, --help    este texto\n"
    "  --version     la versión del programa\n";

struct LocalFreeDeleter {
    void operator()(LPWSTR* block) const noexcept { ::LocalFree(block); }
};

// The arguments after the program's name, as UTF-8. Windows hands the command line over as one
// string; CommandLineToArgvW splits it by the same rules as the C runtime's argv.
std::vector<std::string> arguments() {
    int count = 0;
    std::unique_ptr<LPWSTR, LocalFreeDeleter> argv(
        ::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!argv) {
        throw orvendal::UsageError("no se puede leer la línea de órdenes");
    }
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        args.push_back(orvendal::files::narrow(argv.get()[i]));
    }
    return args;
}

// A program of the WIN32 subsystem has no console to write its usage to: it goes in a box.
void usageBox(const std::string& text) {
    ::MessageBoxW(nullptr, orvendal::files::wide(text).c_str(), L"Orvendal", MB_OK);
}

int usageError(const std::string& message) {
    usageBox("orvendal: " + message + "\n\n" + kUsage);
    return 2;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    using namespace orvendal;
    app::CommandLine line;
    try {
        const std::vector<std::string> args = arguments();
        // Help is answered before anything else is looked at, as on Linux.
        if (Arguments::wantsHelp(args)) {
            usageBox(kUsage);
            return 0;
        }
        line = app::takeCommandLine(args);
        if (line.version) {
            usageBox(app::kVersionLine);
            return 0;
        }
        // Windows has no smb:// client: the file layer refuses the URL with the advice to give
        // the UNC path, here at start-up as it refuses a credentials file, not at the first
        // refresh.
        if (line.stationFile && files::isSmbPath(*line.stationFile)) {
            files::requireSmbRegularFile(*line.stationFile);
        }
    } catch (const UsageError& e) {
        return usageError(e.what());
    } catch (const Error& e) {
        return usageError(e.description());
    }

    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                        ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);

    ui::frmOrvendal window;
    if (line.stationFile) {
        window.MLP_SetFileName(*line.stationFile);
    }
    window.show();
    const int status = window.run();
    if (station::RefreshDriver::workersRunning()) {
        // A refresh still waits on a file server that stopped answering: end now, without it.
        ::ExitProcess(static_cast<UINT>(status));
    }
    return status;
}
