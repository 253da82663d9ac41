#include "eventlog.h"

#include "escape.h"
#include "serviceconfig.h"
#include "servicemessages.h"
#include "text.h"
#include "win32error.h"

#include <cstdio>

namespace orvendal::watch::service {
namespace {

using station::Event;
using station::EventKind;
using station::StationFields;

std::wstring sourceKey(const std::wstring& service) {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + service;
}

std::string sourceName(const std::wstring& service) {
    return "el origen de eventos " + toUtf8(std::u16string(service.begin(), service.end()));
}

// An insert as Event Viewer may show it: printable(), and '%' as the full-width percent sign,
// since Event Viewer replaces %%N in inserts with parameter messages, and a station name is
// anybody's text.
std::wstring insertText(const std::string& utf8) {
    std::wstring text;
    for (const char16_t c : printable(fromUtf8(utf8))) {
        text += c == u'%' ? L'\uFF05' : static_cast<wchar_t>(c);
    }
    return text;
}

std::string field(const std::optional<StationFields>& fields,
                  std::u16string StationFields::*member) {
    return fields ? toUtf8((*fields).*member) : "?";
}

} // namespace

EventLog::EventLog(const std::wstring& service)
    : source_(::RegisterEventSourceW(nullptr, service.c_str())) {
    if (source_ == nullptr) {
        throw files::lastWindowsError("RegisterEventSource");
    }
}

EventLog::~EventLog() {
    ::DeregisterEventSource(source_);
}

void EventLog::registerSource(const std::wstring& service, const std::wstring& program) {
    HKEY key = nullptr;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sourceKey(service).c_str(), 0, nullptr,
                                       0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        throw Error(files::win32Code(status), managerFailure(status, sourceName(service)));
    }
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    status = ::RegSetValueExW(key, L"EventMessageFile", 0, REG_EXPAND_SZ,
                              reinterpret_cast<const BYTE*>(program.c_str()),
                              static_cast<DWORD>((program.size() + 1) * sizeof(wchar_t)));
    if (status == ERROR_SUCCESS) {
        status = ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&types), sizeof types);
    }
    ::RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        throw Error(files::win32Code(status), managerFailure(status, sourceName(service)));
    }
}

void EventLog::removeSource(const std::wstring& service) {
    const LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, sourceKey(service).c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
        throw Error(files::win32Code(status), managerFailure(status, sourceName(service)));
    }
}

void EventLog::events(const std::string& stationFile, const std::vector<Event>& events) {
    for (const Event& e : events) {
        switch (e.kind) {
        case EventKind::Connected:
        case EventKind::Disconnected: {
            std::string seconds = "desconocida";
            if (e.seconds) {
                char text[32];
                std::snprintf(text, sizeof text, "%.3f s", *e.seconds);
                seconds = text;
            }
            const std::string station = e.fields ? std::to_string(e.fields->station) : "?";
            report(EVENTLOG_INFORMATION_TYPE,
                   e.kind == EventKind::Connected ? MSG_CONNECTED : MSG_DISCONNECTED,
                   {std::to_string(e.rec), station, field(e.fields, &StationFields::name),
                    field(e.fields, &StationFields::connection),
                    field(e.fields, &StationFields::lc), stationFile, seconds});
            break;
        }
        case EventKind::Outage:
            report(EVENTLOG_WARNING_TYPE, MSG_OUTAGE, {stationFile, e.error});
            break;
        case EventKind::Recovered:
            report(EVENTLOG_INFORMATION_TYPE, MSG_RECOVERED, {stationFile});
            break;
        case EventKind::Stopped:
            // Told once, by stopped(), for all the sessions the stop closes.
            break;
        }
    }
}

void EventLog::started(const std::string& stationFile, const std::string& journal,
                       const std::string& textfile) {
    report(EVENTLOG_INFORMATION_TYPE, MSG_STARTED, {stationFile, journal, textfile});
}

void EventLog::stopped(const std::string& stationFile, std::size_t sessionsClosed) {
    report(EVENTLOG_INFORMATION_TYPE, MSG_STOPPED, {stationFile, std::to_string(sessionsClosed)});
}

void EventLog::warning(const std::string& line) {
    report(EVENTLOG_WARNING_TYPE, MSG_REPORT, {line});
}

void EventLog::failed(const std::string& stationFile, const std::string& reason) {
    report(EVENTLOG_ERROR_TYPE, MSG_FAILED, {stationFile, reason});
}

// A report that fails is lost: the Event Log is where the service would tell it.
void EventLog::report(WORD type, DWORD id, const std::vector<std::string>& inserts) {
    std::vector<std::wstring> texts;
    for (const std::string& insert : inserts) {
        texts.push_back(insertText(insert));
    }
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& text : texts) {
        pointers.push_back(text.c_str());
    }
    ::ReportEventW(source_, type, 0, id, nullptr, static_cast<WORD>(pointers.size()), 0,
                   pointers.data(), nullptr);
}

} // namespace orvendal::watch::service
