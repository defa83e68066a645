#include "ui/valid_ip.h"

#include <gtest/gtest.h>

namespace lan2com {
namespace {

TEST(TransceiverAddress, DottedAddressesOfFourPartsUpTo255Pass) {
    for (const char* ip : {"0.0.0.0", "255.255.255.255", "001.002.003.004", "192.168.1.10",
                           "000000001.0.0.0", "<tqaWnsu"}) {
        EXPECT_TRUE(isValidTransceiverAddress(ip)) << ip;
    }
}

TEST(TransceiverAddress, MalformedAddressesFailWithoutRaising) {
    for (const char* ip :
         {"", "1.2.3", "1.2.3.4.5", "10.20.30.", "1.2.3.256", "256.1.1.1", "1..2.3.4", ".1.2.3.4",
          "1.2.3.4.", "1.2.3.4a", "0000000000001.0.0.0", "255.255.255.2555", "1,2.3.4",
          // parts that are no plain run of digits
          "<tq.1.2.3", "1.2.3.<tq", "1.aa.3.4", "-1.2.3.4", "+1.2.3.4", " 1.2.3.4", "1.2.3. 4",
          // the any-source code in another case, or with more around it
          "<tqawnsu", "<TQAWNSU", "<tqaWnsu ", "x<tqaWnsu",
          // digits outside the single-byte range (Arabic-Indic, fullwidth)
          "\xd9\xa1.2.3.4", "\xef\xbc\x91.2.3.4"}) {
        EXPECT_FALSE(isValidTransceiverAddress(ip)) << ip;
    }
}

TEST(AddressKey, KeepsDigitsDotBackspaceAndTheAnySourceLettersOnly) {
    int kept = 0;
    for (char32_t c = 0; c < 0x500; ++c) {
        kept += isAddressKey(c) ? 1 : 0;
    }
    EXPECT_EQ(kept, 20);
    for (const char32_t c : U"0123456789.<tqaWnsu\b") {
        EXPECT_TRUE(c == 0 || isAddressKey(c)) << static_cast<unsigned>(c);
    }
    // The whole character counts: U+0130 and U+0161 end in the bytes of "0" and "a".
    for (const char32_t c :
         {U'ж', U'а', U' ', U'-', U',', U'w', U'T', char32_t{0x130}, char32_t{0x161}}) {
        EXPECT_FALSE(isAddressKey(c)) << static_cast<unsigned>(c);
    }
}

}  // namespace
}  // namespace lan2com
