#pragma once

#include "watchoptions.h"
#include "watchstate.h"

#include <functional>
#include <memory>
#include <string>

namespace orvendal::watch::service {

// Runs the watcher as the Windows service `service` (Orvendal or Orvendal$NAME), under the Service
// Control Manager, until a stop or shut-down control; returns the process's exit status. The
// service is RUNNING only once the watcher has started: a watcher that cannot start fails the
// start (`net start` says so). `options` is asked once the service is starting, so that what it
// throws (UsageError, Error) reaches the Event Log and the service's last failure, named by
// `stationFile`. `page`, asked with the options, gives the web page the service serves too, a
// state sink of its watcher; none when it serves none. Throws UsageError when no Service Control
// Manager started the program.
int runAsService(const std::wstring& service, const std::string& stationFile,
                 const std::function<Options()>& options,
                 const std::function<std::unique_ptr<StateSink>(const Options&)>& page);

} // namespace orvendal::watch::service
