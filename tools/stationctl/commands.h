#pragma once

#include "arguments.h"

#include <span>
#include <string>
#include <string_view>

namespace orvendal::stationctl {

struct Command {
    std::string_view name;
    std::string_view summary; // one line for the command list
    std::string_view help;    // the whole --help text
    std::span<const OptionSpec> options;
    int (*run)(const Arguments& args);
    // When set, reports a command line the user got wrong in the command's own way and gives the
    // exit status (a monitoring plugin must answer UNKNOWN, never 2).
    int (*usageError)(const std::string& message) = nullptr;
};

extern const Command kCreateCommand;
extern const Command kSetCommand;
extern const Command kConnectCommand;
extern const Command kStatusCommand;
extern const Command kWhereCommand;
extern const Command kSimulateCommand;
extern const Command kWatchCommand;
extern const Command kCheckCommand;
extern const Command kHistoryCommand;
extern const Command kServiceCommand; // Windows only

// The commands of this OS's build, in the order the usage lists them.
std::span<const Command* const> availableCommands();

} // namespace orvendal::stationctl
