#include "process.h"

#include "win32text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include <shellapi.h>

namespace orvendal::stationctl {

// main()'s argv is in the ANSI code page, which cannot hold every name; the wide command line
// can. A write to a pipe whose reader is gone fails with an error there; nothing stops the program.
std::vector<std::string> startProcess(int argc, char** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        return {argv, argv + argc};
    }
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) {
        arguments.push_back(files::narrow(wide[i]));
    }
    ::LocalFree(wide);
    return arguments;
}

void startCsvOutput(std::ostream& out) {
    out.flush();
    std::fflush(stdout);
    ::_setmode(::_fileno(stdout), _O_BINARY);
    out << "\xEF\xBB\xBF";
}

} // namespace orvendal::stationctl
