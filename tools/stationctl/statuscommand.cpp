// status and where: what the monitor shows for a station file, and which file it opens.
#include "collectedlist.h"
#include "commands.h"
#include "error.h"
#include "escape.h"
#include "json.h"
#include "recordfile.h"
#include "smbfile.h"
#include "smburl.h"
#include "stationmonitor.h"
#include "stationpath.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <vector>

namespace orvendal::stationctl {
namespace {

using station::CollectedList;
using station::CollectedWindow;
using station::StationMonitor;

std::int64_t numberCell(const std::u16string& text) {
    const auto number = station::parseRowNumber(text);
    if (!number) {
        throw Error(errc::Unexpected, "the monitor listed \"" + toUtf8(text) + "\" as a number");
    }
    return *number;
}

// The header's Tally as the caption shows it, right after the label.
std::int64_t captionTally(std::u16string_view caption) {
    caption.remove_prefix(std::min(caption.size(), StationMonitor::kCaptionLabel.size()));
    const auto digits = caption.find_first_not_of(u"0123456789");
    return numberCell(std::u16string(caption.substr(0, digits)));
}

void printJson(const std::u16string& caption, const CollectedList& list, std::uint64_t total) {
    std::cout << "{\"tally\": " << captionTally(caption)
              << ", \"lock\": " << (caption.ends_with(StationMonitor::kLockMark) ? "true" : "false")
              << ", \"rows\": [";
    const char* separator = "";
    for (const auto& row : list.rows()) {
        std::cout << separator << "{\"rec\": " << numberCell(row[0])
                  << ", \"lc\": " << jsonString(row[1])
                  << ", \"connected\": " << (row[2] == StationMonitor::kTrueWord ? "true" : "false")
                  << ", \"station\": " << numberCell(row[3])
                  << ", \"connection\": " << jsonString(row[4])
                  << ", \"name\": " << jsonString(row[5]) << ", \"tally\": " << numberCell(row[6])
                  << "}";
        separator = ", ";
    }
    std::cout << "], \"total\": " << total << "}\n";
}

void printTable(const std::u16string& caption, const CollectedList& list) {
    std::cout << toUtf8(printable(caption)) << '\n';
    if (list.rows().empty()) {
        std::cout << "(no station records)\n";
        return;
    }
    const auto& headings = list.headings();
    std::vector<std::size_t> widths;
    for (std::size_t c = 0; c < headings.size(); ++c) {
        std::size_t width = headings[c].size();
        for (const auto& row : list.rows()) {
            width = std::max(width, row[c].size());
        }
        widths.push_back(width);
    }
    // Numbers right-aligned: the row, the station number and the tally.
    const auto line = [&](const auto& cells) {
        std::u16string out;
        for (std::size_t c = 0; c < widths.size(); ++c) {
            const std::u16string cell = printable(std::u16string(cells[c]));
            const std::u16string pad(widths[c] - cell.size(), u' ');
            const bool right = c == 0 || c == 3 || c == 6;
            out += (right ? pad + cell : cell + pad) + (c + 1 < widths.size() ? u"  " : u"");
        }
        std::cout << toUtf8(out) << '\n';
    };
    line(headings);
    for (const auto& row : list.rows()) {
        line(row);
    }
}

// The refresh's error box, "<number>-<description>", as the error it reports.
Error refreshFailure(const std::string& path, const std::vector<std::u16string>& messages) {
    const std::string box = messages.empty() ? "" : toUtf8(messages.front());
    const auto dash = box.find('-');
    long number = errc::Unexpected;
    if (dash != std::string::npos && dash > 0 && box.find_first_not_of("0123456789") == dash) {
        number = std::stol(box.substr(0, dash));
    }
    return Error(number, "cannot read " + path + ": " +
                             (dash == std::string::npos ? box : box.substr(dash + 1)));
}

int runStatus(const Arguments& args) {
    args.expectPositionals(1, "FILE");
    const std::string& path = args.positionals()[0];
    // The monitor creates a missing file; status only looks.
    openForOneRefresh(args, path);

    CollectedList list;
    CollectedWindow window;
    StationMonitor monitor(window, list,
                           std::make_shared<station::StationReader>(
                               station::ReaderOptions{.limit = station::kHeadlessReadLimit}));
    monitor.MLP_SetFileName(path);
    monitor.MLP_Show();
    monitor.CloseStationFile();
    if (monitor.inOutage()) {
        throw refreshFailure(path, window.messages());
    }
    if (args.has("--json")) {
        printJson(window.caption(), list, monitor.stationRecords());
    } else {
        printTable(window.caption(), list);
    }
    return 0;
}

int runWhere(const Arguments& args) {
    args.expectPositionals(0, "");
    std::cout << station::defaultStationFileName() << '\n';
    return 0;
}

constexpr std::array kStatusOptions = {OptionSpec{"--json", false},
                                       OptionSpec{"--credentials", true}};

} // namespace

const Command kStatusCommand{
    "status", "what the monitor would list for a station file now",
    "Usage: stationctl status FILE [--json] [--credentials CREDFILE]\n"
    "Runs the monitor's own refresh on FILE and prints what the monitor would show now: the\n"
    "caption (the header's tally, \" LOCK\" when out.vrl exists in the current folder) and\n"
    "one row per station record, a record locked by another process being a connected\n"
    "station. Never writes to FILE, and unlike the monitor never creates a missing one.\n"
    "FILE may be smb://[DOMAIN;][USER@]SERVER[:PORT]/SHARE/PATH: the file on a Windows or\n"
    "Samba server, read without a mount; there a connected station is a record whose read\n"
    "the server refuses. The password comes from a Kerberos ticket or from CREDFILE.\n\n"
    "  --credentials CREDFILE\n"
    "           for smb:// files: username=, password= and domain= lines, as mount.cifs\n"
    "           reads them; refused unless it is a file of yours that gives its group and\n"
    "           others no permission at all (chmod 600)\n"
    "  --json   one JSON object instead of the table:\n"
    "           {\"tally\": N, \"lock\": BOOL, \"rows\": [{\"rec\": ROW, \"lc\": TEXT,\n"
    "           \"connected\": BOOL, \"station\": N, \"connection\": TEXT, \"name\": TEXT,\n"
    "           \"tally\": N}, ...], \"total\": N} with texts at their full stored width;\n"
    "           total is the station records in FILE. FILE may hold 1000000 at most.\n",
    kStatusOptions, runStatus};

const Command kWhereCommand{
    "where",
    "print the station file path the monitor opens",
    "Usage: stationctl where\n"
    "Prints the station file the monitor opens: MARLOVEN.SIT in the folder of the monitor's\n"
    "executable. The monitor (orvendal) is installed beside stationctl, so this is\n"
    "stationctl's own folder, as resolved from its running image (symbolic links followed).\n",
    {},
    runWhere};

} // namespace orvendal::stationctl
