#include "commands.h"

#include <array>

namespace orvendal::stationctl {

// No simulate: it replaces and deletes the station file while workstations hold it open, which
// POSIX allows and Windows refuses. No history: the journal needs SQLite, which this build lacks.
std::span<const Command* const> availableCommands() {
    static constexpr std::array<const Command*, 8> commands = {
        &kCreateCommand, &kSetCommand,   &kConnectCommand, &kStatusCommand,
        &kWhereCommand,  &kWatchCommand, &kCheckCommand,   &kServiceCommand};
    return commands;
}

} // namespace orvendal::stationctl
