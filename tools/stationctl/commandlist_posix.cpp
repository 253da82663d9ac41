#include "commands.h"

#include <array>

namespace orvendal::stationctl {

std::span<const Command* const> availableCommands() {
    static constexpr std::array<const Command*, 6> commands = {&kCreateCommand,  &kSetCommand,
                                                               &kConnectCommand, &kStatusCommand,
                                                               &kWhereCommand,   &kSimulateCommand};
    return commands;
}

} // namespace orvendal::stationctl
