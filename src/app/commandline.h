#pragma once

#include "usageerror.h"

#include <optional>
#include <string>
#include <vector>

namespace orvendal::app {

// What the program was given: orvendal [--credentials FILE] [STATION-FILE].
struct CommandLine {
    bool help = false;
    bool version = false;
    std::optional<std::string> credentialsFile;
    std::optional<std::string> stationFile;
};

extern const char* const kUsage;
// "orvendal X.Y.Z", the project's version: what --version prints.
extern const char* const kVersionLine;

// Parses the arguments after the program's name, Qt's own already taken out. Throws UsageError.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// Takes Qt's own documented options (-platform NAME, -display HOST:N, -style NAME, -reverse...,
// also written with two dashes) out of `args`, up to a "--", and returns them in their order for
// QApplication. So the whole command line is checked before Qt starts, and a usage error is told
// even where Qt would abort for want of a display. Throws UsageError for one without its value.
std::vector<std::string> takeQtOptions(std::vector<std::string>& args);

// Parses the arguments and hands a credentials file to the smb:// layer, which may refuse it
// (on Windows it always does); every refusal is a UsageError. A password in an smb:// URL is
// refused first: the command line is anybody's to read (ps) while the program runs.
CommandLine takeCommandLine(const std::vector<std::string>& args);

} // namespace orvendal::app
