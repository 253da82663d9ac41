#include "commands.h"

#include <array>

namespace orvendal::stationctl {

// No simulate: it replaces and deletes the station file while workstations hold it open, which
// POSIX allows and Windows refuses.
std::span<const Command* const> availableCommands() {
    static constexpr std::array<const Command*, 9> commands = {
        &kCreateCommand, &kSetCommand,   &kConnectCommand, &kStatusCommand, &kWhereCommand,
        &kWatchCommand,  &kCheckCommand, &kHistoryCommand, &kServiceCommand};
    return commands;
}

} // namespace orvendal::stationctl
