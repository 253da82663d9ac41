#include "journalclaim.h"

#include <cerrno>

namespace orvendal::journal {

std::string lockPath(const std::string& journal) {
    return journal + ".lock";
}

Error claimedByAnother(const std::string& journal, const std::string& pid) {
    return Error(errnoCode(EAGAIN), "el diario " + journal + " lo está usando otro vigilante" +
                                        (pid.empty() ? "" : " (pid " + pid + ")") +
                                        ": un solo stationctl watch por diario");
}

} // namespace orvendal::journal
