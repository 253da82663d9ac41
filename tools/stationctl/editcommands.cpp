// create and set: making a station file and writing its records as a workstation would.
#include "commands.h"
#include "cp1252.h"
#include "error.h"
#include "stationfile.h"
#include "text.h"
#include "workstationrecords.h"

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
    args.expectPositionals(1, "FICHERO");
    const std::string& path = args.positionals()[0];
    const auto stations = integerOption(args, "--stations", 0, kMaxStations, 0);
    files::WorkstationFile file = files::WorkstationFile::create(path);
    const auto blank = station::encodeRecord(station::blankRecord());
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
        throw UsageError(std::string(option) + ": el texto no es UTF-8 válido; no se escribe nada");
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!station::encodeCp1252(text[i])) {
            const bool pair = i + 1 < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF;
            throw UsageError(std::string(option) + ": \"" + toUtf8(text.substr(i, pair ? 2 : 1)) +
                             "\" no cabe en la página de códigos 1252; no se escribe nada");
        }
    }
    if (text.size() > N) {
        throw UsageError(std::string(option) + " admite como mucho " + std::to_string(N) +
                         (N == 1 ? " carácter" : " caracteres") + " y \"" + utf8 + "\" tiene " +
                         std::to_string(text.size()) + "; no se escribe nada");
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
    args.expectPositionals(header ? 1 : 2, header ? "FICHERO" : "FICHERO y FILA (o --header)");
    const std::string& path = args.positionals()[0];
    const std::int64_t row = header ? 0 : parseInteger(args.positionals()[1], 1, kMaxRow, "FILA");
    if (row > kMaxStations) {
        throw UsageError("la fila " + args.positionals()[1] + " pasa de " +
                         std::to_string(kMaxStations) +
                         ", lo más que leen status, check y watch; no se escribe nada");
    }
    const auto number = static_cast<std::uint64_t>(row) + 1;
    if (!args.has("--lc") && !args.has("--station") && !args.has("--connection") &&
        !args.has("--name") && !args.has("--tally")) {
        throw UsageError("no hay nada que escribir: indique al menos una de --lc, --station, "
                         "--connection, --name, --tally");
    }
    PuestoBloquedos checked = station::blankRecord();
    applyOptions(args, checked); // refuses bad values before the file is touched

    files::WorkstationFile file = files::WorkstationFile::open(path);
    if (!station::lockRecord(file, number, files::WorkstationFile::LockKind::Write)) {
        throw Error(
            errc::RecordLocked,
            (header ? "la cabecera" : "la fila " + args.positionals()[1]) +
                " la tiene bloqueada otro proceso (un puesto conectado); no se escribe nada");
    }
    // A row past the end grows the file with blank records, not with a hole of NUL bytes.
    const auto blank = station::encodeRecord(station::blankRecord());
    for (std::uint64_t n = station::recordCount(file.length()) + 1; n < number; ++n) {
        file.writeAt(station::recordOffset(n), blank);
    }
    PuestoBloquedos record = station::readRecord(file, number);
    applyOptions(args, record);
    station::writeRecord(file, number, record);
    station::unlockRecord(file, number);
    return 0;
}

constexpr std::array kCreateOptions = {OptionSpec{"--stations", true}};
constexpr std::array kSetOptions = {OptionSpec{"--header", false}, OptionSpec{"--lc", true},
                                    OptionSpec{"--station", true}, OptionSpec{"--connection", true},
                                    OptionSpec{"--name", true},    OptionSpec{"--tally", true}};

} // namespace

const Command kCreateCommand{
    "create", "crea un fichero de estaciones: una cabecera y N registros de puesto en blanco",
    "Uso: stationctl create FICHERO [--stations N]\n"
    "Crea un fichero de estaciones nuevo: un registro de cabecera y N registros de puesto en\n"
    "blanco (0 si no se indica), con todos los campos en espacios o a cero. Nunca sustituye un\n"
    "fichero que ya exista.\n\n"
    "  --stations N   registros de puesto tras la cabecera, de 0 a 1000000\n",
    kCreateOptions, runCreate};

const Command kSetCommand{
    "set", "escribe campos de un registro de puesto o de la cabecera, como un puesto",
    "Uso: stationctl set FICHERO FILA|--header [--lc C] [--station N] [--connection TEXTO]\n"
    "                        [--name TEXTO] [--tally N]\n"
    "Escribe los campos indicados de la fila FILA (el registro FILA + 1; las filas empiezan\n"
    "en 1) o, con --header, del registro de cabecera, y conserva los demás. Como un puesto,\n"
    "bloquea el registro mientras escribe (un bloqueo OFD de fcntl, LockFileEx en Windows,\n"
    "que suelta después) y rechaza, con el error 1001, un registro que otro proceso tenga\n"
    "bloqueado. Los textos se guardan en la página de códigos 1252 y se rellenan con\n"
    "espacios; un valor que no cabe o no se puede guardar se rechaza y no se escribe nada.\n"
    "Una fila más allá del final alarga el fichero con registros en blanco; FILA llega como\n"
    "mucho a 1000000.\n\n"
    "  --header            escribe el registro de cabecera en vez de una fila de puesto\n"
    "  --lc C              el campo LC, un carácter\n"
    "  --station N         el número de puesto, un entero de 32 bits con signo\n"
    "  --connection TEXTO  el texto de conexión, como mucho 20 caracteres\n"
    "  --name TEXTO        el nombre del puesto, como mucho 50 caracteres\n"
    "  --tally N           el contador, de 0 a 255\n",

    kSetOptions, runSet};

} // namespace orvendal::stationctl
