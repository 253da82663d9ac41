#include "lockholder.h"
#include "puestobloquedos.h"
#include "stationctlrun.h"
#include "tempdir.h"
#include "text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <span>

using namespace orvendal;
using namespace orvendal::testing;
using station::kRecordLength;
using station::PuestoBloquedos;

namespace {

// Record `number` (1 is the header) decoded from the file's bytes.
PuestoBloquedos recordOf(const std::vector<unsigned char>& bytes, std::size_t number) {
    PuestoBloquedos record{};
    station::ClearRecord(record);
    const std::size_t offset = (number - 1) * kRecordLength;
    station::decodeRecord(
        std::span(bytes).subspan(offset, std::min(kRecordLength, bytes.size() - offset)), record);
    return record;
}

template <std::size_t N> std::string utf8(const station::FixedText<N>& text) {
    return toUtf8({text.data(), N});
}

std::string padded(const std::string& text, std::size_t width) {
    return text + std::string(width - fromUtf8(text).size(), ' ');
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

TEST(EditCommands, CreateMakesAHeaderAndBlankRecordsAndNeverReplaces) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 3);
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 4 * kRecordLength);
    for (std::size_t n = 1; n <= 4; ++n) {
        PuestoBloquedos blank{};
        station::ClearRecord(blank);
        EXPECT_EQ(recordOf(bytes, n), blank) << "record " << n;
    }

    const Outcome again = stationctl({"create", path, "--stations", "1"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("ya existe"), std::string::npos) << again.err;
    EXPECT_EQ(readBytes(path), bytes);
}

TEST(EditCommands, SetWritesCp1252FieldsThatStatusReadsBack) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 3);
    const std::string name = "Señora Núñez, caja nº 2 — 15 €";
    ASSERT_EQ(stationctl({"set", path, "2", "--lc", "ñ", "--station", "-2147483648", "--connection",
                          "Caja € 10.0.0.2", "--name", name, "--tally", "255"})
                  .status,
              0);
    ASSERT_EQ(stationctl({"set", path, "--header", "--tally", "9"}).status, 0);

    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 4 * kRecordLength);
    // Stored in code page 1252, one byte a character: ñ is 0xF1 and € is 0x80.
    EXPECT_EQ(bytes[2 * kRecordLength], 0xF1);
    EXPECT_EQ(bytes[2 * kRecordLength + 11 + 5], 0x80);
    const PuestoBloquedos record = recordOf(bytes, 3);
    EXPECT_EQ(record.StationNumber, INT32_MIN);
    EXPECT_EQ(record.Tally, 255);
    EXPECT_EQ(utf8(record.StationName), padded(name, 50));
    EXPECT_EQ(recordOf(bytes, 1).Tally, 9);

    const auto status = statusJson(path);
    EXPECT_EQ(status["tally"], 9);
    const auto& row = status["rows"][1];
    EXPECT_EQ(row["rec"], 2);
    EXPECT_EQ(row["lc"], "ñ");
    EXPECT_EQ(row["station"], INT32_MIN);
    EXPECT_EQ(row["connection"], padded("Caja € 10.0.0.2", 20));
    EXPECT_EQ(row["name"], padded(name, 50));
    EXPECT_EQ(row["tally"], 255);
    EXPECT_EQ(status["rows"][0]["name"], std::string(50, ' ')) << "other rows untouched";
}

TEST(EditCommands, SetKeepsTheFieldsItIsNotGiven) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    ASSERT_EQ(stationctl({"set", path, "1", "--name", "Almacén", "--station", "7"}).status, 0);
    ASSERT_EQ(stationctl({"set", path, "1", "--tally", "3"}).status, 0);
    const PuestoBloquedos record = recordOf(readBytes(path), 2);
    EXPECT_EQ(utf8(record.StationName), padded("Almacén", 50));
    EXPECT_EQ(record.StationNumber, 7);
    EXPECT_EQ(record.Tally, 3);
}

TEST(EditCommands, SetAcceptsTextsThatFillTheirFieldExactly) {
    // Characters are counted, not UTF-8 bytes: 50 × "ñ" is 100 bytes of UTF-8 and fits.
    const struct {
        std::string option;
        std::string value;
    } cases[] = {{"--name", repeated("ñ", 50)},
                 {"--connection", repeated("€", 20)},
                 {"--lc", "€"},
                 {"--lc", ""}};
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = dir.file("MARLOVEN.SIT");
        createStationFile(path, 1);
        const Outcome run = stationctl({"set", path, "1", c.option, c.value});
        EXPECT_EQ(run.status, 0) << c.option << " " << c.value << ": " << run.err;
        const auto row = statusJson(path)["rows"][0];
        const std::string field = c.option == "--name" ? "name"
                                  : c.option == "--lc" ? "lc"
                                                       : "connection";
        const std::size_t width = field == "name" ? 50 : field == "lc" ? 1 : 20;
        EXPECT_EQ(row[field], padded(c.value, width)) << c.option;
    }
}

TEST(EditCommands, SetRefusesValuesThatDoNotFitAndWritesNothing) {
    const struct {
        std::vector<std::string> args; // after "set FILE"
        std::string message;
    } cases[] = {
        {{"1", "--name", std::string(51, 'x')}, "como mucho 50 caracteres"},
        {{"1", "--connection", std::string(21, 'x')}, "como mucho 20 caracteres"},
        {{"1", "--lc", "AB"}, "como mucho 1 carácter"},
        {{"1", "--name", "東京"}, "no cabe en la página de códigos 1252"},
        {{"1", "--name", "Señor 😀"}, "no cabe en la página de códigos 1252"},
        {{"1", "--connection", "\xC3("}, "no es UTF-8 válido"},
        {{"1", "--tally", "256"}, "--tally debe ser un número entero de 0 a 255"},
        {{"1", "--tally", "-1"}, "--tally debe ser"},
        {{"1", "--station", "2147483648"}, "--station debe ser"},
        {{"1", "--station", "12abc"}, "--station debe ser"},
        {{"0", "--tally", "1"}, "FILA debe ser"},
        {{"uno", "--tally", "1"}, "FILA debe ser"},
        // Past what status, check and watch read: not 20 GB of blank records.
        {{"1000001", "--tally", "1"}, "la fila 1000001 pasa de 1000000"},
        {{"247483647", "--tally", "1"}, "la fila 247483647 pasa de 1000000"},
        {{"1"}, "no hay nada que escribir"},
        {{"--header", "1", "--tally", "1"}, "sobra el argumento"},
        // A good value does not get the bad one written with it.
        {{"1", "--name", "Bien", "--connection", std::string(21, 'x')}, "como mucho 20"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const auto path = dir.file("MARLOVEN.SIT");
        createStationFile(path, 1);
        const auto before = readBytes(path);
        std::vector<std::string> args{"set", path};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome run = stationctl(args);
        EXPECT_EQ(run.status, 2) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(readBytes(path), before) << c.message;
    }
}

TEST(EditCommands, SetRefusesARecordThatAnotherProcessHoldsLocked) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 2);
    const auto before = readBytes(path);
    // One byte of row 1's record, held the classic way by another process.
    LockHolder holder(path, {{kRecordLength + 40, 1}}, LockHolder::Kind::ClassicRead);

    const Outcome refused = stationctl({"set", path, "1", "--name", "X"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("la fila 1 la tiene bloqueada otro proceso"), std::string::npos)
        << refused.err;
    EXPECT_EQ(readBytes(path), before);

    EXPECT_EQ(stationctl({"set", path, "2", "--name", "Y"}).status, 0) << "other rows are free";
    holder.stop();
    EXPECT_EQ(stationctl({"set", path, "1", "--name", "X"}).status, 0);
}

TEST(EditCommands, SetPastTheEndGrowsTheFileWithBlankRecords) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 1);
    ASSERT_EQ(stationctl({"set", path, "4", "--lc", "Z"}).status, 0);
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), 5 * kRecordLength);
    PuestoBloquedos blank{};
    station::ClearRecord(blank);
    EXPECT_EQ(recordOf(bytes, 3), blank);
    EXPECT_EQ(recordOf(bytes, 4), blank);
    EXPECT_EQ(recordOf(bytes, 5).Lc[0], u'Z');
}

TEST(EditCommands, SetCompletesAPartialTrailingRecordKeepingItsBytes) {
    TempDir dir;
    const auto path = dir.file("MARLOVEN.SIT");
    createStationFile(path, 0);
    auto bytes = readBytes(path);
    // Row 1 cut short inside its connection text: "Q", then the number 5, then "ab".
    std::vector<unsigned char> partial(11, 0);
    partial[0] = 'Q';
    partial[7] = 5;
    partial.push_back('a');
    partial.push_back('b');
    bytes.insert(bytes.end(), partial.begin(), partial.end());
    writeBytes(path, bytes);

    ASSERT_EQ(stationctl({"set", path, "1", "--tally", "4"}).status, 0);
    const auto after = readBytes(path);
    ASSERT_EQ(after.size(), 2 * kRecordLength);
    const PuestoBloquedos record = recordOf(after, 2);
    EXPECT_EQ(record.Lc[0], u'Q');
    EXPECT_EQ(record.StationNumber, 5);
    EXPECT_EQ(record.Tally, 4);
    EXPECT_EQ(utf8(record.ConnectionText), padded("ab", 20));
    EXPECT_EQ(utf8(record.StationName), std::string(50, ' '));
}

} // namespace
