#pragma once

#include "watchoptions.h"

#include <functional>
#include <string>

namespace orvendal::watch::service {

// Runs the watcher as the Windows service Orvendal, under the Service Control Manager, until a
// stop or shut-down control; returns the process's exit status. `options` is asked once the
// service has started, so that what it throws (UsageError, Error) reaches the Event Log as the
// service's failure, named by `stationFile`. Throws UsageError when no Service Control Manager
// started the program.
int runAsService(const std::string& stationFile, const std::function<Options()>& options);

} // namespace orvendal::watch::service
