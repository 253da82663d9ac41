// create and set: making a station file and writing its records as a workstation would.
#include "commands.h"
#include "cp1252.h"
#include "error.h"
#include "recordfile.h"
#include "stationfile.h"
#include "text.h"

#include <iostream>
#include <limits>

namespace orvendal::stationctl {
namespace {

using station::FixedText;
using station::PuestoBloquedos;

// Past this many the file would be hundreds of megabytes: surely a typing mistake. Nor could
// status, check or watch read it.
constexpr auto kMaxStations = static_cast<std::int64_t>(station::kMaxStationRecords);
constexpr std::int64_t kMaxRow = std::numeric_limits<std::int32_t>::max() - 1;

int runCreate(const Arguments& args) {
    args.expectPositionals(1, "FILE");
    const std::string& path = args.positionals()[0];
    const auto stations = integerOption(args, "--stations", 0, kMaxStations, 0);
    RecordFile file = RecordFile::create(path);
    const auto blank = station::encodeRecord(blankRecord());
    std::vector<std::uint8_t> bytes;
    bytes.reserve(static_cast<std::size_t>(stations + 1) * blank.size());
    for (std::int64_t n = 0; n <= stations; ++n) {
        bytes.insert(bytes.end(), blank.begin(), blank.end());
    }
    file.writeAt(0, bytes);
    return 0;
}

// The option's UTF-8 text as a field of exactly N characters, padded with spaces. Refused, with
// the reason, when a character has no byte in code page 1252 or the text is too long.
template <std::size_t N> FixedText<N> fieldText(const std::string& utf8, std::string_view option) {
    const std::u16string text = fromUtf8(utf8);
    if (toUtf8(text) != utf8) {
        throw UsageError(std::string(option) + ": the text is not valid UTF-8; nothing written");
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!station::encodeCp1252(text[i])) {
            const bool pair = i + 1 < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF;
            throw UsageError(std::string(option) + ": \"" + toUtf8(text.substr(i, pair ? 2 : 1)) +
                             "\" cannot be stored in code page 1252; nothing written");
        }
    }
    if (text.size() > N) {
        throw UsageError(std::string(option) + " holds at most " + std::to_string(N) +
                         (N == 1 ? " character" : " characters") + ", \"" + utf8 + "\" has " +
                         std::to_string(text.size()) + "; nothing written");
    }
    FixedText<N> field;
    field.fill(u' ');
    std::copy(text.begin(), text.end(), field.begin());
    return field;
}

// The fields the options give, over `record`. Everything is checked before anything is written.
void applyOptions(const Arguments& args, PuestoBloquedos& record) {
    if (const auto lc = args.value("--lc")) {
        record.Lc = fieldText<1>(*lc, "--lc");
    }
    if (args.has("--station")) {
        record.StationNumber = static_cast<std::int32_t>(
            integerOption(args, "--station", std::numeric_limits<std::int32_t>::min(),
                          std::numeric_limits<std::int32_t>::max(), 0));
    }
    if (const auto text = args.value("--connection")) {
        record.ConnectionText = fieldText<20>(*text, "--connection");
    }
    if (const auto name = args.value("--name")) {
        record.StationName = fieldText<50>(*name, "--name");
    }
    if (args.has("--tally")) {
        record.Tally = static_cast<std::uint8_t>(integerOption(args, "--tally", 0, 255, 0));
    }
}

int runSet(const Arguments& args) {
    const bool header = args.has("--header");
    args.expectPositionals(header ? 1 : 2, header ? "FILE" : "FILE and ROW (or --header)");
    const std::string& path = args.positionals()[0];
    const std::int64_t row = header ? 0 : parseInteger(args.positionals()[1], 1, kMaxRow, "ROW");
    if (row > kMaxStations) {
        throw UsageError("la fila " + args.positionals()[1] + " pasa de " +
                         std::to_string(kMaxStations) +
                         ", lo más que leen status, check y watch; no se escribe nada");
    }
    const auto number = static_cast<std::uint64_t>(row) + 1;
    if (!args.has("--lc") && !args.has("--station") && !args.has("--connection") &&
        !args.has("--name") && !args.has("--tally")) {
        throw UsageError("nothing to set: give at least one of --lc, --station, --connection, "
                         "--name, --tally");
    }
    PuestoBloquedos checked = blankRecord();
    applyOptions(args, checked); // refuses bad values before the file is touched

    RecordFile file = RecordFile::open(path);
    if (!file.tryLock(number, RecordFile::LockKind::Write)) {
        throw Error(errc::RecordLocked, (header ? "the header" : "row " + args.positionals()[1]) +
                                            " is locked by another process (a connected "
                                            "station); nothing written");
    }
    // A row past the end grows the file with blank records, not with a hole of NUL bytes.
    const auto blank = station::encodeRecord(blankRecord());
    for (std::uint64_t n = station::recordCount(file.length()) + 1; n < number; ++n) {
        file.writeAt(recordOffset(n), blank);
    }
    PuestoBloquedos record = file.readRecord(number);
    applyOptions(args, record);
    file.writeRecord(number, record);
    file.unlock(number);
    return 0;
}

constexpr std::array kCreateOptions = {OptionSpec{"--stations", true}};
constexpr std::array kSetOptions = {OptionSpec{"--header", false}, OptionSpec{"--lc", true},
                                    OptionSpec{"--station", true}, OptionSpec{"--connection", true},
                                    OptionSpec{"--name", true},    OptionSpec{"--tally", true}};

} // namespace

const Command kCreateCommand{
    "create", "make a new station file: a header and N blank station records",
    "Usage: stationctl create FILE [--stations N]\n"
    "Makes a new station file: a header record and N blank station records (default 0),\n"
    "all fields spaces or zero. Never replaces an existing file.\n\n"
    "  --stations N   station records after the header, 0 to 1000000\n",
    kCreateOptions, runCreate};

const Command kSetCommand{
    "set", "write fields of a station record or of the header, as a workstation does",
    "Usage: stationctl set FILE ROW|--header [--lc C] [--station N] [--connection TEXT]\n"
    "                      [--name TEXT] [--tally N]\n"
    "Writes the given fields of station row ROW (record ROW + 1; rows start at 1) or, with\n"
    "--header, of the header record, keeping the fields not given. Like a workstation it\n"
    "locks the record while it writes (an fcntl OFD lock, LockFileEx on Windows, released\n"
    "after) and refuses, with error 1001, a record that another process holds locked.\n"
    "Texts are stored in code page 1252 and padded with spaces; a value that does not fit\n"
    "or cannot be stored is refused and nothing is written. A row past the end of the file\n"
    "grows it with blank records; ROW may be 1000000 at most.\n\n"
    "  --header            write the header record instead of a station row\n"
    "  --lc C              the LC field, one character\n"
    "  --station N         the station number, a signed 32-bit integer\n"
    "  --connection TEXT   the connection text, at most 20 characters\n"
    "  --name TEXT         the station name, at most 50 characters\n"
    "  --tally N           the tally, 0 to 255\n",
    kSetOptions, runSet};

} // namespace orvendal::stationctl
