#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvendal::app {

// What the program was given: orvendal [--credentials FILE] [STATION-FILE].
struct CommandLine {
    bool help = false;
    std::optional<std::string> credentialsFile;
    std::optional<std::string> stationFile;
};

// A command line the user got wrong: reported with the usage, exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const char* const kUsage;

// Parses the arguments after the program's name, Qt's own already taken out. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Whether the arguments ask for the usage: --help or -h before any "--", whatever else is wrong.
bool asksForHelp(const std::vector<std::string>& args);

// Throws UsageError for an smb:// URL with a password among the arguments: while the program
// runs, its command line is anybody's to read (ps), so it is refused before anything starts.
void refusePasswords(const std::vector<std::string>& args);

// Parses the arguments and hands a credentials file to the smb:// layer, which may refuse it
// (on Windows it always does); every refusal is a UsageError.
CommandLine takeCommandLine(const std::vector<std::string>& args);

} // namespace orvendal::app
