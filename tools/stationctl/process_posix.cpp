#include "process.h"

#include <clocale>
#include <csignal>

namespace orvendal::stationctl {

std::vector<std::string> startProcess(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    // The OS's error descriptions in the user's language, as the window shows them; numbers and
    // the rest of the output keep the C locale's form.
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_MESSAGES, "");
    return {argv, argv + argc};
}

void startCsvOutput(std::ostream&) {}

} // namespace orvendal::stationctl
