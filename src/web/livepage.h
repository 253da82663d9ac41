#pragma once

#include "board.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace orvendal::web {

// What the live page shows of one version of the watcher's state: its rows as HTML (the first
// paint) and as JSON (the events), built once for every request and every live page.
struct LiveView {
    std::uint64_t version = 0;
    std::u16string caption;
    std::string captionHtml;
    bool outage = false;
    // What is wrong, said above the list; empty when all is well.
    std::string warning;
    // Rows shown, and the station records the file holds; as the window, at most 10000 rows.
    std::size_t listed = 0;
    std::uint64_t total = 0;
    std::vector<std::string> rowHtml;
    std::vector<std::string> rowJson;
    // The rows' part of an event, as JSON: all of them, and those changed since `from`.
    std::string allRowsJson;
    std::optional<std::uint64_t> from;
    std::string changedRowsJson;
    // Why the hours "since" are the watcher's and not the journal's, when it could not be read.
    std::string sinceNote;
};

// The page at "/" and the events of "/api/eventos", from the watcher's snapshots: the window's
// caption and seven columns (the presenter's texts), the connected rows marked and since when
// each is connected, from the journal when the watcher keeps one.
class LivePage {
public:
    LivePage(std::string stationFile, std::optional<std::string> journal);

    // The view of `snapshot`'s version: the latest one built, or built now.
    std::shared_ptr<const LiveView> view(const Snapshot& snapshot);

    // The whole page, readable without JavaScript; its script then follows the events. Made
    // once a snapshot, whoever asks.
    std::string render(const std::shared_ptr<const Snapshot>& snapshot);

    // One server-sent event for a page at version `shown` (none before the first): all rows,
    // the rows changed since `shown`, or only the refresh. Returns the version it brings.
    std::string event(const Snapshot& snapshot, std::optional<std::uint64_t> shown,
                      std::uint64_t& brings);

private:
    std::shared_ptr<const LiveView> build(const Snapshot& snapshot,
                                          const std::shared_ptr<const LiveView>& before);
    std::vector<std::optional<std::u16string>> sinceTexts(const Snapshot& snapshot,
                                                          std::size_t rows, std::string& note);

    std::string stationFile_;
    std::optional<std::string> journal_;
    std::string compose(const Snapshot& snapshot);

    std::mutex building_;
    std::shared_ptr<const LiveView> latest_;
    // The since texts change only with the tracker, by an event, or with the day: the journal is
    // asked again only then.
    std::shared_ptr<const station::StationTracker> sinceFor_;
    std::string sinceDay_;
    std::vector<std::optional<std::u16string>> since_;
    std::string sinceNote_;
    std::mutex rendering_;
    std::shared_ptr<const Snapshot> renderedFor_;
    std::string rendered_;
};

} // namespace orvendal::web
