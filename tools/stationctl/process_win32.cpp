#include "process.h"

#include "text.h"

#include <windows.h>

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
        const std::wstring_view argument(wide[i]);
        arguments.push_back(toUtf8(std::u16string(argument.begin(), argument.end())));
    }
    ::LocalFree(wide);
    return arguments;
}

} // namespace orvendal::stationctl
