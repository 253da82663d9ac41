#pragma once

#include "arguments.h"

#include <span>
#include <string_view>

namespace orvendal::stationctl {

struct Command {
    std::string_view name;
    std::string_view summary; // one line for the command list
    std::string_view help;    // the whole --help text
    std::span<const OptionSpec> options;
    int (*run)(const Arguments& args);
};

extern const Command kCreateCommand;
extern const Command kSetCommand;
extern const Command kConnectCommand;
extern const Command kStatusCommand;
extern const Command kWhereCommand;
extern const Command kSimulateCommand;

// The commands of this OS's build, in the order the usage lists them.
std::span<const Command* const> availableCommands();

} // namespace orvendal::stationctl
