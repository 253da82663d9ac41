#pragma once

#include "arguments.h"

#include <string>

namespace orvendal::stationctl {

// The station file a command reads once, as status and check take it: --credentials applied for
// smb:// paths, then an existing regular file required, since the refresh would create a missing
// one empty. Throws Error.
void openForOneRefresh(const Arguments& args, const std::string& path);

} // namespace orvendal::stationctl
