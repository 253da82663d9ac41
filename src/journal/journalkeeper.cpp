#include "journalkeeper.h"

#include "error.h"
#include "journalclaim.h"

#include <cerrno>
#include <vector>

namespace orvendal::journal {
namespace {

constexpr std::chrono::seconds kRetry{1};

} // namespace

bool lastingFailure(const Error& error) {
    const std::error_code& code = error.code();
    return code == errnoCode(EAGAIN) || code == errc::NotRegularFile ||
           code == errc::NewerJournal || code == errc::NotAJournal || lastingOpenFailure(code);
}

void JournalKeeper::OpenState::apply(const station::Event& event) {
    switch (event.kind) {
    case station::EventKind::Connected:
        sessions[event.rec] = event;
        break;
    case station::EventKind::Disconnected:
        sessions.erase(event.rec);
        break;
    case station::EventKind::Stopped:
        (event.flappingSince ? flapping : sessions).erase(event.rec);
        break;
    case station::EventKind::Flapping:
        flapping[event.rec] = event;
        break;
    case station::EventKind::FlappingEnded:
        flapping.erase(event.rec);
        break;
    case station::EventKind::Changes:
        break;
    case station::EventKind::Outage:
        outage = event;
        break;
    case station::EventKind::Recovered:
        outage.reset();
        break;
    }
}

JournalKeeper::JournalKeeper(std::string path, std::string stationFile, Report report,
                             WallClock::time_point now, Milliseconds interval,
                             std::int64_t maxBytes, std::size_t kept)
    : path_(std::move(path)), stationFile_(std::move(stationFile)), report_(std::move(report)),
      interval_(interval), maxBytes_(maxBytes), limit_(kept) {
    try {
        open(now);
    } catch (const Error& error) {
        if (lastingFailure(error)) {
            throw;
        }
        failed(error.text('-'));
    }
}

void JournalKeeper::record(std::span<const station::Event> events, WallClock::time_point now,
                           SteadyClock::time_point monotonic) {
    keep(events);
    commit(now, false, monotonic);
}

void JournalKeeper::heartbeat(WallClock::time_point now, SteadyClock::time_point monotonic) {
    commit(now, false, monotonic);
}

void JournalKeeper::reopen(WallClock::time_point now) {
    commit(now, true, SteadyClock::now());
}

void JournalKeeper::stop(std::span<const station::Event> ended, WallClock::time_point now) {
    keep(ended);
    if (commit(now, true, SteadyClock::now())) {
        try {
            if (const auto unfolded = journal_->stop(now)) {
                report_(
                    "el diario " + path_ +
                    " ha guardado todos sus cambios, pero su registro de escritura anticipada " +
                    path_ + "-wal no se ha podido volcar en la base de datos (" +
                    unfolded->text('-') +
                    "): no se pierde nada mientras ese fichero siga junto al diario, y el "
                    "próximo vigilante lo volcará");
            }
            return;
        } catch (...) {
            failed(toError(std::current_exception()).text('-'));
        }
    }
    report_("el diario " + path_ + " sigue fallando al terminar: se pierden " +
            std::to_string(kept_.size() + dropped_) + " transiciones que no pudo guardar");
}

void JournalKeeper::keep(std::span<const station::Event> events) {
    for (const station::Event& event : events) {
        if (kept_.size() < limit_) {
            kept_.push_back(event);
        } else if (dropped_++ == 0) {
            report_("el diario " + path_ + " falla y ya hay " + std::to_string(limit_) +
                    " transiciones en memoria: las siguientes se descartan hasta que vuelva");
        }
    }
}

bool JournalKeeper::commit(WallClock::time_point now, bool force,
                           SteadyClock::time_point monotonic) {
    if (failure_ && !force && lastTry_ && monotonic - *lastTry_ < kRetry) {
        return false;
    }
    lastTry_ = monotonic;
    try {
        if (journal_ && journal_->replaced()) {
            switchFiles(now);
        }
        if (!journal_) {
            open(now);
        }
        journal_->record(kept_, now);
        for (const station::Event& event : kept_) {
            committed_.apply(event);
        }
        kept_.clear();
    } catch (...) {
        const Error error = toError(std::current_exception());
        // Damaged under the watcher: the next try opens it again, which moves it aside.
        if (corruptJournal(error.code())) {
            journal_.reset();
        }
        if (fullJournal(error.code()) && journal_ && journal_->atLimit()) {
            const bool megabytes = maxBytes_ >= (1 << 20);
            failed("ha llegado a su tamaño máximo de " +
                   std::to_string(megabytes ? maxBytes_ >> 20 : maxBytes_ >> 10) +
                   (megabytes ? " MB" : " KB") + ", --journal-max");
        } else {
            failed(error.text('-'));
        }
        return false;
    }
    if (failure_) {
        report_("el diario " + path_ + " vuelve a funcionar" +
                (dropped_ ? "; se descartaron " + std::to_string(dropped_) +
                                " transiciones que no cabían en memoria"
                          : std::string()));
        failure_.reset();
        dropped_ = 0;
    }
    return true;
}

void JournalKeeper::switchFiles(WallClock::time_point now) {
    report_("el diario " + path_ +
            " ya no es el fichero que se escribía (borrado o movido): se empieza uno nuevo");
    std::vector<station::Event> ended;
    for (const auto& [rec, connected] : committed_.sessions) {
        station::Event stopped = connected;
        stopped.kind = station::EventKind::Stopped;
        stopped.time = now;
        stopped.seconds.reset();
        ended.push_back(stopped);
    }
    // Its count of changes is the tracker's, which knows no files: not known here.
    for (const auto& [rec, began] : committed_.flapping) {
        station::Event stopped = began;
        stopped.kind = station::EventKind::Stopped;
        stopped.time = now;
        stopped.flappingUntil = now;
        ended.push_back(stopped);
    }
    try {
        journal_->record(ended, now);
        journal_->stop(now);
    } catch (...) {
        // The old file may be gone or failing: it is closed as it is, and the new one gets all.
    }
    journal_.reset();
    open(now);
}

void JournalKeeper::open(WallClock::time_point now) {
    journal_.emplace(Journal::open(path_, stationFile_, now, interval_, maxBytes_));
    if (const auto aside = journal_->movedAside()) {
        report_("el diario " + path_ + " estaba dañado: se ha apartado como " + *aside +
                " y se empieza uno nuevo");
    }
    // A new file knows nothing of what is still open: it begins with it, before what is kept.
    std::vector<station::Event> carried;
    for (const auto& [rec, connected] : committed_.sessions) {
        carried.push_back(connected);
    }
    for (const auto& [rec, began] : committed_.flapping) {
        carried.push_back(began);
    }
    if (committed_.outage) {
        carried.push_back(*committed_.outage);
    }
    kept_.insert(kept_.begin(), carried.begin(), carried.end());
    committed_ = OpenState{};
}

Journal::Pruned JournalKeeper::prune(WallClock::time_point before) {
    if (!journal_) {
        return {};
    }
    try {
        return journal_->prune(before);
    } catch (...) {
        failed(toError(std::current_exception()).text('-'));
        return {};
    }
}

void JournalKeeper::failed(const std::string& what) {
    if (!failure_) {
        report_("el diario " + path_ + " falla (" + what +
                "): los eventos, las métricas y las órdenes siguen, y las transiciones se guardan "
                "en memoria (hasta " +
                std::to_string(limit_) + ") para escribirlas cuando vuelva a funcionar");
    }
    failure_ = what;
}

} // namespace orvendal::journal
