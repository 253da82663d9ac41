#include "textfile.h"

#include "atomicfile.h"
#include "error.h"
#include "metrics.h"

#include <utility>

namespace orvendal::watch {
namespace {

// node_exporter users alert on a stale textfile: it is rewritten at least this often.
constexpr std::chrono::milliseconds kTextfileRefresh{15000};

} // namespace

Textfile::Textfile(std::string path, std::string stationFile, std::uint64_t listedStations,
                   const Clock& clock, Report report)
    : path_(std::move(path)), stationFile_(std::move(stationFile)), listedStations_(listedStations),
      clock_(clock), report_(std::move(report)) {}

void Textfile::update(const WatchState& state) {
    const auto now = clock_.monotonic();
    if (!state.running || state.changed ||
        (due(state, now) && state.refreshed != WallClock::time_point{})) {
        write(state, now);
    }
}

bool Textfile::due(const WatchState& state, SteadyClock::time_point now) const {
    return !written_ || now - *written_ >= kTextfileRefresh ||
           state.journalUp.value_or(journalUp_) != journalUp_;
}

void Textfile::write(const WatchState& state, SteadyClock::time_point now) {
    try {
        std::string text = renderMetrics(state.tracker, stationFile_, state.refreshed,
                                         state.refreshSeconds, state.running, listedStations_);
        if (state.journalUp) {
            journalUp_ = *state.journalUp;
            text += renderJournalMetrics(stationFile_, journalUp_);
        }
        files::writeFileAtomically(path_, text);
        failing_ = false;
    } catch (...) {
        if (!std::exchange(failing_, true)) {
            report_("no se puede escribir el fichero de métricas: " +
                    toError(std::current_exception()).text('-'));
        }
    }
    written_ = now;
}

} // namespace orvendal::watch
