#pragma once

#include <string>
#include <vector>

namespace orvendal::stationctl {

// Runs the watcher with `watchArguments` (FILE and watch's options) as the Windows service
// Orvendal, under the Service Control Manager, until a stop or shut-down control; returns the
// process's exit status. Throws UsageError when no Service Control Manager started the program.
int runAsService(const std::vector<std::string>& watchArguments);

} // namespace orvendal::stationctl
