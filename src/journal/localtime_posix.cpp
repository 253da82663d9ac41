#include "error.h"
#include "timetext.h"

#include <cerrno>

namespace orvendal::journal {

std::tm localTime(std::time_t time) {
    std::tm broken{};
    if (!::localtime_r(&time, &broken)) {
        throw Error::fromErrno(errno, "localtime_r");
    }
    return broken;
}

} // namespace orvendal::journal
