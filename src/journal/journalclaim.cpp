#include "journalclaim.h"

#include <cerrno>

namespace orvendal::journal {

std::string lockPath(const std::string& journal) {
    return journal + ".lock";
}

Error claimedByAnother(const std::string& journal, const std::string& pid) {
    return Error(EAGAIN, "the journal " + journal + " is in use by another watcher" +
                             (pid.empty() ? "" : " (pid " + pid + ")") +
                             ": one stationctl watch per journal");
}

} // namespace orvendal::journal
