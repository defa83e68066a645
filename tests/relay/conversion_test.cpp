#include <gtest/gtest.h>

#include <vector>

#include "channels/channel_table.h"
#include "relay/conversion.h"

namespace lan2com {
namespace {

std::string cid(const std::vector<std::uint8_t>& bytes) {
    return Data2CId(bytes.data(), bytes.size());
}

const std::vector<std::uint8_t> kWorked = {0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x01, 0x01,
                                           0x03, 0x0A, 0x0A, 0x01, 0x0A, 0x0A, 0x05, 0x0C};

TEST(Conversion, WorkedExampleByteForByte) {
    const std::string digits = cid(kWorked);
    EXPECT_EQ(digits, "123478113AA1AA5C");
    EXPECT_EQ(CId2Lvl(digits), "- 78 dBm");
    const std::string expectedMode0 =
        std::string("503") + "1 18" + "1234" + "E" + "130" + "01" + "005" + "\x14";
    const std::string expectedOther =
        std::string("503") + "1 18" + "1234" + "E" + "13A" + "A1" + "AA5" + "\x14";
    EXPECT_EQ(CId2SG(digits, 3, 0), expectedMode0);
    EXPECT_EQ(CId2SG(digits, 3, 1), expectedOther);
    EXPECT_EQ(CId2SG(digits, 3, 2), expectedOther);
    EXPECT_EQ(CId2SG(digits, 3, 77), expectedOther);
    EXPECT_EQ(expectedMode0.size(), 21u);
}

TEST(Conversion, DigitTextIsHexWithoutLeadingZeros) {
    EXPECT_EQ(cid({0x00, 0x0A, 0x0F, 0x1F, 0xFF, 0x10}), "0AF1FFF10");
    EXPECT_EQ(cid({}), "");
}

TEST(Conversion, ChannelNumberIsTwoUpperCaseHexDigitsAndNeverConverted) {
    const std::string digits = "0000000000000000";
    EXPECT_EQ(CId2SG(digits, 10, 1).substr(0, 3), "50A");
    EXPECT_EQ(CId2SG(digits, 16, 1).substr(0, 3), "510");
    EXPECT_EQ(CId2SG(digits, 1, 1).substr(0, 3), "501");
    // mode 1 turns the account zeros into A but leaves the "0A" of channel 10 alone
    EXPECT_EQ(CId2SG(digits, 10, 1), std::string("50A1 18AAAAPAAAAAAAA\x14"));
}

TEST(Conversion, OnlyDigitsOneToFifteenAreConvertedAndOnlyUpperCaseA) {
    ChannelTable table;
    table[0].Cnvrt = 0;
    // 16th digit A would be untouched anyway; lower-case a is not matched.
    EXPECT_EQ(CId2SG("AAAAaAAAAAAAAAAA", 1, table), std::string("5011 180000P00000000\x14"));
    table[0].Cnvrt = 1;
    EXPECT_EQ(CId2SG("1230001000000000", 1, table), std::string("5011 18123AEAAAAAAAA\x14"));
}

TEST(Conversion, QualifierComesFromTheUnconvertedSeventhDigit) {
    EXPECT_EQ(CId2SG("0000001000000000", 1, 1)[11], 'E');
    EXPECT_EQ(CId2SG("0000003000000000", 1, 1)[11], 'R');
    for (char c : std::string("06A2F")) {
        std::string digits = "0000000000000000";
        digits[6] = c;
        EXPECT_EQ(CId2SG(digits, 1, 1)[11], 'P') << c;
    }
}

TEST(Conversion, ShiftedDigitsStillGiveTwentyOneCharacters) {
    const std::string digits = cid({0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(digits.size(), 17u);
    EXPECT_EQ(CId2SG(digits, 2, 2).size(), 21u);
    EXPECT_EQ(CId2SG(digits, 2, 2).substr(7, 4), "1012");
}

TEST(Conversion, LevelTable) {
    const char* expected[16] = {"????", "    ",     "????", "- 62 dBm", "????", "- 70 dBm",
                                "????", "- 78 dBm", "????", "- 86 dBm", "????", "- 94 dBm",
                                "????", "-102 dBm", "????", "-110 dBm"};
    for (int code = 0; code < 16; ++code) {
        std::string digits = "0000000000000000";
        digits[4] = "0123456789ABCDEF"[code];
        EXPECT_EQ(CId2Lvl(digits), expected[code]) << code;
    }
    EXPECT_EQ(CId2Lvl("0000G"), "    ");  // not a hex digit: code 1
    EXPECT_EQ(CId2Lvl("0000"), "    ");   // missing: code 1
}

TEST(Conversion, HeartbeatLineBytes) {
    const std::string line(kHeartbeatLine.begin(), kHeartbeatLine.end());
    EXPECT_EQ(line,
              std::string("1011") + std::string(11, ' ') + "@" + std::string(4, ' ') + "\x14");
}

TEST(Conversion, ClassificationDropsMalformedDatagrams) {
    std::vector<std::uint8_t> event(16, 9);
    EXPECT_EQ(classifyDatagram(event.data(), event.size()), DatagramKind::Event);
    event[15] = 0x10;
    EXPECT_EQ(classifyDatagram(event.data(), event.size()), DatagramKind::Malformed);
    std::vector<std::uint8_t> bytes(17, 0xFF);
    for (std::size_t len = 0; len <= 17; ++len) {
        const auto kind = classifyDatagram(bytes.data(), len);
        if (len == 6 || len == 11 || len == 14) {
            EXPECT_EQ(kind, DatagramKind::Service) << len;
        } else {
            EXPECT_EQ(kind, DatagramKind::Malformed) << len;
        }
    }
}

}  // namespace
}  // namespace lan2com
