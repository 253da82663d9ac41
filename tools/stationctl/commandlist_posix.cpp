#include "commands.h"

#include <array>

namespace orvendal::stationctl {

std::span<const Command* const> availableCommands() {
    static constexpr std::array<const Command*, 9> commands = {
        &kCreateCommand,   &kSetCommand,   &kConnectCommand, &kStatusCommand, &kWhereCommand,
        &kSimulateCommand, &kWatchCommand, &kCheckCommand,   &kHistoryCommand};
    return commands;
}

} // namespace orvendal::stationctl
