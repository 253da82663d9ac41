#include "stationpath.h"

#include "smbfile.h"
#include "smburl.h"
#include "workstationfile.h"

namespace orvendal::stationctl {

void openForOneRefresh(const Arguments& args, const std::string& path) {
    if (const auto credentials = args.value("--credentials")) {
        files::useCredentialsFile(*credentials);
    }
    // (A file removed between this check and the refresh would still be created empty: the same
    // thing the monitor would do.)
    if (files::isSmbPath(path)) {
        files::requireSmbRegularFile(path);
    } else {
        files::requireRegularFile(path);
    }
}

} // namespace orvendal::stationctl
