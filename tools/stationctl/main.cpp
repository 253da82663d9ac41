#include "arguments.h"
#include "commands.h"
#include "error.h"

#include <algorithm>
#include <array>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

using namespace orvendal;
using namespace orvendal::stationctl;

namespace {

constexpr std::array<const Command*, 6> kCommands = {&kCreateCommand,  &kSetCommand,
                                                     &kConnectCommand, &kStatusCommand,
                                                     &kWhereCommand,   &kSimulateCommand};

void printUsage(std::ostream& out) {
    out << "Usage: stationctl COMMAND [ARGS...]\n"
           "Makes, edits, holds and watches Orvendal station files (MARLOVEN.SIT): fixed\n"
           "81-byte records, header first; row N is record N + 1, row 0 the header.\n\n"
           "Commands:\n";
    for (const Command* command : kCommands) {
        std::string name(command->name);
        name.resize(10, ' ');
        out << "  " << name << command->summary << '\n';
    }
    out << "\nRun 'stationctl COMMAND --help' for a command's arguments.\n";
}

int runCommand(const Command& command, const std::vector<std::string>& args) {
    const std::string prefix = "stationctl " + std::string(command.name) + ": ";
    try {
        if (Arguments::wantsHelp(args)) {
            std::cout << command.help;
            return 0;
        }
        return command.run(Arguments(args, command.options));
    } catch (const UsageError& e) {
        std::cerr << prefix << e.what() << "\nTry 'stationctl " << command.name << " --help'.\n";
        return 2;
    } catch (...) {
        const Error error = toError(std::current_exception());
        std::cerr << prefix << error.description() << " (error " << error.number() << ")\n";
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (stationctl status | head) ends the output, not the program.
    std::signal(SIGPIPE, SIG_IGN);
    // The OS's error descriptions in the user's language, as the window shows them; numbers and
    // the rest of the output keep the C locale's form.
    std::setlocale(LC_CTYPE, "");
    std::setlocale(LC_MESSAGES, "");
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string name = argc > 1 ? argv[1] : "";
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(std::cout);
        return 0;
    }
    for (const Command* command : kCommands) {
        if (command->name == name) {
            return runCommand(*command, args);
        }
    }
    std::cerr << "stationctl: "
              << (name.empty() ? "no command given" : "unknown command \"" + name + "\"") << "\n\n";
    printUsage(std::cerr);
    return 2;
}
