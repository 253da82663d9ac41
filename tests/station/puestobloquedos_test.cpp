#include "cp1252.h"
#include "error.h"
#include "puestobloquedos.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace orvendal::station {
namespace {

std::vector<std::uint8_t> storedRecord() {
    std::vector<std::uint8_t> bytes(kRecordLength, ' ');
    bytes[0] = 'A';
    bytes[1] = 0xFF; // Connected: -1, true as stored
    bytes[2] = 0xFF;
    bytes[3] = 255; // Tally
    bytes[4] = 0x80;
    bytes[5] = 0x34; // Extra2 = 0x1234
    bytes[6] = 0x12;
    bytes[7] = 0xFE; // StationNumber = -2
    bytes[8] = 0xFF;
    bytes[9] = 0xFF;
    bytes[10] = 0xFF;
    const std::string connection = "Ca\xF1"
                                   "ada \x80\x81\x8D\x8F\x90\x9D";
    std::copy(connection.begin(), connection.end(), bytes.begin() + 11);
    bytes[30] = 0; // a NUL inside the text is kept as a character
    bytes[80] = 'Z';
    return bytes;
}

TEST(PuestoBloquedos, DecodesEveryFieldAtItsBoundaries) {
    PuestoBloquedos record;
    decodeRecord(storedRecord(), record);

    EXPECT_EQ(record.Lc[0], u'A');
    EXPECT_EQ(record.Connected, kTrue);
    EXPECT_EQ(record.Tally, 255);
    EXPECT_EQ(record.Extra1, 0x80);
    EXPECT_EQ(record.Extra2, 0x1234);
    EXPECT_EQ(record.StationNumber, -2);
    const std::u16string connection(record.ConnectionText.begin(), record.ConnectionText.end());
    EXPECT_EQ(connection, std::u16string(u"Cañada €\u0081\u008D\u008F\u0090\u009D      ") +
                              std::u16string(1, u'\0'));
    EXPECT_EQ(record.StationName.front(), u' ');
    EXPECT_EQ(record.StationName.back(), u'Z');
}

TEST(PuestoBloquedos, ControlBytesStayCharactersInEveryTextField) {
    std::vector<std::uint8_t> bytes = storedRecord();
    bytes[0] = 0x00;
    const std::uint8_t name[] = {0x01, 0x0A, 0x0D, 0x1F, 0x7F, 0x9F, 0x00, 0xFF};
    std::copy(std::begin(name), std::end(name), bytes.begin() + 31);
    PuestoBloquedos record;
    decodeRecord(bytes, record);
    EXPECT_EQ(record.Lc[0], u'\0');
    EXPECT_EQ(std::u16string(record.StationName.begin(), record.StationName.begin() + 8),
              std::u16string(u"\u0001\n\r\u001F\u007F\u0178") + std::u16string(1, u'\0') + u"ÿ");
}

// A whole record whose texts hold no byte of 0x80 to 0x9F decodes byte for character; one such
// byte anywhere in a text sends the record through the code page table.
TEST(PuestoBloquedos, EveryByteInEveryTextPositionDecodesAsTheCodePageSays) {
    std::vector<std::size_t> textPositions{0};
    for (std::size_t at = 11; at < kRecordLength; ++at) {
        textPositions.push_back(at);
    }
    for (const std::size_t at : textPositions) {
        for (int byte = 0; byte < 256; ++byte) {
            std::vector<std::uint8_t> bytes(kRecordLength, 'x');
            bytes[at] = static_cast<std::uint8_t>(byte);
            PuestoBloquedos record;
            decodeRecord(bytes, record);
            std::u16string texts(record.Lc.begin(), record.Lc.end());
            texts.append(record.ConnectionText.begin(), record.ConnectionText.end());
            texts.append(record.StationName.begin(), record.StationName.end());
            std::u16string expected(texts.size(), u'x');
            expected[at == 0 ? 0 : at - 10] = decodeCp1252(static_cast<std::uint8_t>(byte));
            ASSERT_EQ(texts, expected) << "byte " << byte << " at offset " << at;
        }
    }
}

TEST(PuestoBloquedos, PartialRecordKeepsWhatLiesPastTheEnd) {
    const std::vector<std::uint8_t> bytes = storedRecord();
    struct Case {
        std::size_t available;
        std::int32_t station;
        char16_t lastConnectionChar;
    };
    // Before the read: StationNumber 0x55667788, texts '#'. Bytes that exist replace their part
    // only.
    const Case cases[] = {
        {0, 0x55667788, u'#'}, {9, static_cast<std::int32_t>(0x5566FFFE), u'#'},
        {11, -2, u'#'},        {30, -2, u'#'},
        {31, -2, u'\0'},
    };
    for (const auto& c : cases) {
        PuestoBloquedos record;
        record.StationNumber = 0x55667788;
        record.ConnectionText.fill(u'#');
        record.StationName.fill(u'#');
        decodeRecord(std::span(bytes).first(c.available), record);
        EXPECT_EQ(record.StationNumber, c.station) << c.available << " bytes";
        EXPECT_EQ(record.ConnectionText.back(), c.lastConnectionChar) << c.available << " bytes";
        EXPECT_EQ(record.StationName.back(), u'#') << c.available << " bytes";
    }
}

TEST(PuestoBloquedos, ClearRecordBlanksTextsAndNumbers) {
    PuestoBloquedos record;
    decodeRecord(storedRecord(), record);
    ClearRecord(record);
    EXPECT_EQ(record.Lc[0], u' ');
    EXPECT_EQ(record.Connected, kFalse);
    EXPECT_EQ(record.Tally, 0);
    EXPECT_EQ(record.StationNumber, 0);
    EXPECT_EQ(std::u16string(record.ConnectionText.begin(), record.ConnectionText.end()),
              std::u16string(20, u' '));
    EXPECT_EQ(std::u16string(record.StationName.begin(), record.StationName.end()),
              std::u16string(50, u' '));
}

TEST(PuestoBloquedos, EncodeIsTheInverseOfDecode) {
    const std::vector<std::uint8_t> bytes = storedRecord();
    PuestoBloquedos record;
    decodeRecord(bytes, record);
    const auto encoded = encodeRecord(record);
    EXPECT_EQ(std::vector<std::uint8_t>(encoded.begin(), encoded.end()), bytes);

    record.StationName[3] = u'\u4E2D';
    try {
        encodeRecord(record);
        FAIL() << "a character outside code page 1252 was encoded";
    } catch (const Error& e) {
        EXPECT_EQ(e.code(), errc::Unencodable);
    }
}

TEST(Cp1252, EveryByteDecodesAndEncodesBack) {
    for (int byte = 0; byte < 256; ++byte) {
        const char16_t c = decodeCp1252(static_cast<std::uint8_t>(byte));
        ASSERT_EQ(encodeCp1252(c), byte) << "byte " << byte;
    }
    EXPECT_EQ(decodeCp1252(0x80), u'€');
    EXPECT_EQ(decodeCp1252(0xF1), u'ñ');
    EXPECT_EQ(decodeCp1252(0x9F), u'Ÿ');
    EXPECT_FALSE(encodeCp1252(u'\u0100').has_value());
    EXPECT_FALSE(encodeCp1252(u'\u0080').has_value()); // 0x80 stores the euro sign, not U+0080
}

} // namespace
} // namespace orvendal::station
