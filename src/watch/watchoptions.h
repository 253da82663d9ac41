#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvendal::watch {

// What a watcher watches and where it writes: the watch command's options, parsed.
struct Options {
    std::string stationFile;
    std::chrono::milliseconds interval{500};
    // The credentials file for smb:// station files.
    std::optional<std::string> credentials;
    // The journal's database.
    std::optional<std::string> journal;
    // Sessions and outages that ended longer ago are deleted from the journal; 0 keeps them all.
    std::int64_t retainDays = 400;
    // The Prometheus textfile.
    std::optional<std::string> textfile;
    // The command run for each event, and how long it may run.
    std::optional<std::string> hookCommand;
    std::chrono::seconds hookTimeout{60};
};

// The watcher only reads its station file: an output that is that file, or another output, would
// destroy it. Told by file identity (a hard link too) and by path (also before the output
// exists), before anything is opened for writing; throws UsageError. A link or special file at a
// textfile's place is refused too (Error).
void refuseClashingOutputs(const Options& options);

// What retrying would never mend, refused at the watcher's start before anything is opened, and
// by the Windows service's installation before anything is registered: a hook command that would
// run an event's text, outputs that clash, a station file that is a folder, an output whose
// folder does not exist. Throws UsageError (Error for a link at the textfile's place).
void checkStart(const Options& options);

} // namespace orvendal::watch
