#include "process.h"

#include <csignal>

namespace orvendal::stationctl {

std::vector<std::string> startProcess(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    return {argv, argv + argc};
}

} // namespace orvendal::stationctl
