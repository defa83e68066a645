#include <gtest/gtest.h>

#include "platform/cp1251.h"
#include "platform/error_report.h"

namespace lan2com {
namespace {

TEST(FullStopRule, AppendsOnlyAfterCharactersAboveTheFullStop) {
    EXPECT_EQ(withFullStop("ie_BadId - Specified comport doesn't exist"),
              "ie_BadId - Specified comport doesn't exist.");
    EXPECT_EQ(withFullStop("Buffer is empty."), "Buffer is empty.");
    EXPECT_EQ(withFullStop("List index out of bounds (3)"), "List index out of bounds (3)");
    EXPECT_EQ(withFullStop("ends with a comma,"), "ends with a comma,");   // ',' is 0x2C
    EXPECT_EQ(withFullStop("ends with a slash/"), "ends with a slash/.");  // '/' is 0x2F
    EXPECT_EQ(withFullStop("'100.5' is not a valid integer value"),
              "'100.5' is not a valid integer value.");
    EXPECT_EQ(withFullStop("Канал будет удален"), "Канал будет удален.");
    EXPECT_EQ(withFullStop(""), "");
}

TEST(Cp1251, RoundTripsCyrillicAndCutsByCharacters) {
    const std::string text = "Канал №3";
    const std::string bytes = toCp1251(text);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xCA);  // К
    EXPECT_EQ(static_cast<unsigned char>(bytes[6]), 0xB9);  // №
    EXPECT_EQ(fromCp1251(bytes), text);
    EXPECT_EQ(cutText("Канал №3", 7), "Канал №");
    EXPECT_EQ(cutText("COM1234567", 7), "COM1234");
    EXPECT_EQ(cutText("COM1", 7), "COM1");
}

TEST(Cp1251, MapsWhatTheCodePageLacksToQuestionMarks) {
    EXPECT_EQ(toCp1251("a€b"), std::string("a\x88"
                                           "b"));
    EXPECT_EQ(toCp1251("日本"), "??");
    EXPECT_EQ(toCp1251(std::string("\xC3", 1)), "?");    // cut-short sequence
    EXPECT_EQ(fromCp1251(std::string("\x98", 1)), "?");  // undefined in the code page
}

}  // namespace
}  // namespace lan2com

#include "platform/convert.h"

namespace lan2com {
namespace {

TEST(ParseInt32, ReadsSignedDecimalsAndRefusesEverythingElseWithTheConversionMessage) {
    EXPECT_EQ(parseInt32("09999"), 9999);
    EXPECT_EQ(parseInt32("-12"), -12);
    EXPECT_EQ(parseInt32("+7"), 7);
    EXPECT_EQ(parseInt32("2147483647"), 2147483647);
    EXPECT_EQ(parseInt32("-2147483648"), -2147483647 - 1);
    for (const char* bad :
         {"", "-", "100.5", " 1", "1 ", "0x10", "$10", "A0", "2147483648", "<tq"}) {
        try {
            parseInt32(bad);
            ADD_FAILURE() << bad;
        } catch (const ConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "'" + std::string(bad) + "' is not a valid integer value");
        }
    }
}

}  // namespace
}  // namespace lan2com
