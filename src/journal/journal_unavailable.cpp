#include "error.h"
#include "journal.h"

#include <cerrno>

namespace orvendal::journal {
namespace {

Error unavailable() {
    return Error(ENOSYS, "el diario no está disponible en esta versión: necesita SQLite, que la "
                         "versión para Windows no incluye");
}

} // namespace

std::vector<std::string> journalFiles(const std::string& path) {
    return {path};
}

struct Journal::Handle {};
struct JournalReader::Handle {};

Journal Journal::open(const std::string&, const std::string&, WallClock::time_point, Milliseconds) {
    throw unavailable();
}
Journal::Journal(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}
Journal::Journal(Journal&&) noexcept = default;
Journal& Journal::operator=(Journal&&) noexcept = default;
Journal::~Journal() = default;
void Journal::record(std::span<const Event>, WallClock::time_point) {}
void Journal::heartbeat(WallClock::time_point) {}
void Journal::stop(WallClock::time_point) {}
Journal::Pruned Journal::prune(WallClock::time_point) {
    return {};
}
int Journal::closedAsUnknown() const {
    return 0;
}
std::optional<std::string> Journal::movedAside() const {
    return std::nullopt;
}
bool Journal::replaced() const {
    return false;
}

JournalReader::JournalReader(const std::string&) {
    throw unavailable();
}
JournalReader::JournalReader(JournalReader&&) noexcept = default;
JournalReader::~JournalReader() = default;
std::vector<Session> JournalReader::openAt(WallClock::time_point, std::optional<std::int32_t>) {
    return {};
}
std::vector<Session> JournalReader::overlapping(std::optional<WallClock::time_point>,
                                                std::optional<WallClock::time_point>,
                                                std::optional<std::int32_t>) {
    return {};
}
std::vector<Blind> JournalReader::gaps(std::optional<WallClock::time_point>,
                                       std::optional<WallClock::time_point>) {
    return {};
}
std::vector<Blind> JournalReader::outages(std::optional<WallClock::time_point>,
                                          std::optional<WallClock::time_point>) {
    return {};
}

} // namespace orvendal::journal
