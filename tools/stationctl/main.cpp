#include "arguments.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "process.h"
#include "smburl.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

using namespace orvendal;
using namespace orvendal::stationctl;

namespace {

void printUsage(std::ostream& out) {
    out << "Uso: stationctl ORDEN [ARGUMENTOS...]\n"
           "Crea, edita, bloquea y vigila ficheros de estaciones de Orvendal (MARLOVEN.SIT):\n"
           "registros fijos de 81 bytes, la cabecera primero; la fila N es el registro N + 1,\n"
           "la fila 0 la cabecera.\n\n"
           "Órdenes:\n";
    for (const Command* command : availableCommands()) {
        std::string name(command->name);
        name.resize(10, ' ');
        out << "  " << name << command->summary << '\n';
    }
    out << "\nLos argumentos de cada orden: 'stationctl ORDEN --help'.\n";
}

int runCommand(const Command& command, const std::vector<std::string>& args) {
    const std::string prefix = "stationctl " + std::string(command.name) + ": ";
    try {
        if (Arguments::wantsHelp(args)) {
            std::cout << command.help;
            return 0;
        }
        files::refusePasswordsInArguments(args);
        const Arguments parsed(args, command.options);
        for (const std::string& positional : parsed.positionals()) {
            files::requireParsableSmbPath(positional);
        }
        return command.run(parsed);
    } catch (const UsageError& e) {
        if (command.usageError) {
            return command.usageError(e.what());
        }
        std::cerr << prefix << printable(e.what()) << "\nPruebe 'stationctl " << command.name
                  << " --help'.\n";
        return 2;
    } catch (...) {
        const Error error = toError(std::current_exception());
        std::cerr << prefix << printable(error.description()) << " (error " << error.code().value()
                  << ")\n";
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> all = startProcess(argc, argv);
    const std::vector<std::string> args(all.begin() + std::min<std::size_t>(all.size(), 2),
                                        all.end());
    const std::string name = all.size() > 1 ? all[1] : "";
    if (name == "--help" || name == "-h" || name == "help") {
        printUsage(std::cout);
        return 0;
    }
    if (name == "--version") {
        std::cout << "stationctl " ORVENDAL_VERSION "\n";
        return 0;
    }
    for (const Command* command : availableCommands()) {
        if (command->name == name) {
            return runCommand(*command, args);
        }
    }
    std::cerr << "stationctl: "
              << (name.empty() ? "falta la orden" : "orden desconocida \"" + printable(name) + "\"")

              << "\n\n";
    printUsage(std::cerr);
    return 2;
}
