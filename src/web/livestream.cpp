#include "livestream.h"

#include <optional>

namespace orvendal::web {
namespace {

constexpr std::chrono::seconds kQuiet{15};

} // namespace

void serveLiveEvents(httplib::Response& response, Board& board, LivePage& page, Counters& counters,
                     const Limits& limits) {
    if (counters.liveClients.fetch_add(1) >= limits.liveClients) {
        --counters.liveClients;
        counters.count(Refusal::LiveClients);
        response.status = 503;
        response.set_header("Retry-After", "30");
        response.set_content("Hay demasiadas páginas en directo abiertas con este vigilante (" +
                                 std::to_string(limits.liveClients) +
                                 "); cierre alguna y recargue.\n",
                             "text/plain; charset=utf-8");
        return;
    }
    struct Follower {
        std::optional<std::uint64_t> shown;
        std::uint64_t published = 0;
        bool started = false;
    };
    auto follower = std::make_shared<Follower>();
    response.set_chunked_content_provider(
        "text/event-stream",
        [&board, &page, follower](std::size_t, httplib::DataSink& sink) {
            std::shared_ptr<const Snapshot> snapshot;
            if (!follower->started) {
                follower->started = true;
                static constexpr std::string_view kRetry = "retry: 3000\n\n";
                if (!sink.write(kRetry.data(), kRetry.size())) {
                    return false;
                }
                snapshot = board.current();
            } else {
                snapshot = board.next(follower->published, kQuiet);
            }
            if (!snapshot) {
                sink.done();
                return true;
            }
            if (follower->shown && snapshot->published == follower->published) {
                static constexpr std::string_view kComment = ":\n\n";
                return sink.write(kComment.data(), kComment.size());
            }
            std::uint64_t brings = 0;
            const std::string event = page.event(*snapshot, follower->shown, brings);
            if (!sink.write(event.data(), event.size())) {
                return false;
            }
            follower->shown = brings;
            follower->published = snapshot->published;
            if (!snapshot->running) {
                sink.done();
            }
            return true;
        },
        [&counters](bool) { --counters.liveClients; });
}

} // namespace orvendal::web
