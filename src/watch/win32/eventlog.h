#pragma once

#include "events.h"

#include <windows.h>

#include <string>
#include <vector>

// The watcher's events in the Windows Event Log (log Application, source the service's name:
// Orvendal, or Orvendal$NAME, as SQL Server's instances have theirs), each kind
// with its own event ID and its Spanish text from the program's message table
// (servicemessages.mc).
namespace orvendal::watch::service {

class EventLog {
public:
    explicit EventLog(const std::wstring& service);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Registers the source of `service` for the program at `program`, or removes it: what install
    // and remove do. Throw Error with the registry's reason.
    static void registerSource(const std::wstring& service, const std::wstring& program);
    static void removeSource(const std::wstring& service);

    void events(const std::string& stationFile, const std::vector<station::Event>& events);
    void started(const std::string& stationFile, const std::string& journal,
                 const std::string& textfile);
    void stopped(const std::string& stationFile, std::size_t sessionsClosed);
    // A line the watcher reported, or a hook wrote on its standard error.
    void warning(const std::string& line);
    void failed(const std::string& stationFile, const std::string& reason);

private:
    void report(WORD type, DWORD id, const std::vector<std::string>& inserts);

    HANDLE source_;
};

} // namespace orvendal::watch::service
