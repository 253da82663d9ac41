#include "commandline.h"

#include "error.h"
#include "smbfile.h"
#include "smburl.h"

namespace orvendal::app {

const char* const kUsage =
    "Usage: orvendal [--credentials FILE] [STATION-FILE]\n"
    "Shows which workstations are connected to a station file: each refresh lists its records,\n"
    "a record locked by a workstation being a connected station.\n\n"
    "  STATION-FILE  the station file to watch; by default MARLOVEN.SIT beside the program.\n"
    "                smb://[DOMAIN;][USER@]SERVER[:PORT]/SHARE/PATH/MARLOVEN.SIT reads it\n"
    "                from a Windows or Samba server without a mount.\n"
    "  --credentials FILE\n"
    "                for smb:// files: username=, password= and domain= lines, as mount.cifs\n"
    "                reads them; it must be yours and unreadable to others (chmod 600).\n"
    "                Without it a Kerberos ticket is used, or the window asks for the password.\n"
    "  -h, --help    this text\n";

CommandLine parseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    bool options = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options && arg == "--") {
            options = false;
        } else if (options && (arg == "--help" || arg == "-h")) {
            line.help = true;
        } else if (options && (arg == "--credentials" || arg.starts_with("--credentials="))) {
            if (line.credentialsFile) {
                throw UsageError("--credentials given twice");
            }
            if (arg == "--credentials" && i + 1 == args.size()) {
                throw UsageError("--credentials needs a file");
            }
            line.credentialsFile =
                arg == "--credentials" ? args[++i] : arg.substr(sizeof("--credentials=") - 1);
            if (line.credentialsFile->empty()) {
                throw UsageError("--credentials needs a file");
            }
        } else if (options && arg.size() > 1 && arg.front() == '-') {
            throw UsageError("unknown option " + arg);
        } else if (line.stationFile) {
            throw UsageError("only one station file may be given (got \"" + *line.stationFile +
                             "\" and \"" + arg + "\")");
        } else if (arg.empty()) {
            throw UsageError("the station file is an empty name");
        } else {
            line.stationFile = arg;
        }
    }
    return line;
}

bool asksForHelp(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "--help" || arg == "-h") {
            return true;
        }
    }
    return false;
}

void refusePasswords(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        try {
            files::refusePasswordInArgument(arg);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
}

CommandLine takeCommandLine(const std::vector<std::string>& args) {
    // First: the other usage errors repeat arguments.
    refusePasswords(args);
    CommandLine line = parseCommandLine(args);
    // An address that cannot be read is told now, not as an outage of every refresh.
    if (line.stationFile && files::isSmbPath(*line.stationFile)) {
        try {
            files::parseSmbPath(*line.stationFile);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
    if (line.credentialsFile) {
        try {
            files::useCredentialsFile(*line.credentialsFile);
        } catch (const Error& e) {
            throw UsageError(e.description());
        }
    }
    return line;
}

} // namespace orvendal::app
