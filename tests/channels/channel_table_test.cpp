#include <gtest/gtest.h>

#include "channels/channel_table.h"

namespace lan2com {
namespace {

ChannelRecord channel(std::uint8_t pair, const char* comIn, std::uint32_t port, std::uint8_t mode) {
    ChannelRecord p;
    p.Pair = pair;
    p.ComIn = comIn;
    p.ComOut = "COM99";
    p.AddrIP = "10.0.0.1";
    p.Port = port;
    p.Cnvrt = mode;
    return p;
}

TEST(ChannelTable, StartsZeroFilledAndEmptyingKeepsThePort) {
    ChannelTable t;
    EXPECT_EQ(t[0].Pair, 0);
    t[3].Port = 70000;
    t.emptyAll();
    for (int s = 0; s < kSlots; ++s) {
        EXPECT_TRUE(t[s].isEmpty());
        EXPECT_EQ(t[s].Cnvrt, 255);
        EXPECT_FALSE(t[s].Fnd);
    }
    EXPECT_EQ(t[3].Port, 70000u);
    EXPECT_EQ(t.listLength(), 0);
    EXPECT_EQ(t.firstEmpty(), 0);
}

TEST(ChannelTable, RemovingMovesLaterChannelsDownWithTheirModesAndClearsTheLastPort) {
    ChannelTable t;
    t.emptyAll();
    for (int s = 0; s < 5; ++s) {
        t[s] = channel(static_cast<std::uint8_t>(s + 1), "COM1",
                       9000u + static_cast<std::uint32_t>(s), static_cast<std::uint8_t>(s % 3));
    }
    ASSERT_TRUE(t.removeSlot(2));
    EXPECT_EQ(t.listLength(), 4);
    EXPECT_EQ(t[2].Pair, 4);
    EXPECT_EQ(t[2].Port, 9003u);
    EXPECT_EQ(t[2].Cnvrt, 0);  // the channel of former slot 3 kept its mode
    EXPECT_EQ(t[3].Pair, 5);
    EXPECT_EQ(t[3].Cnvrt, 1);
    EXPECT_TRUE(t[4].isEmpty());
    EXPECT_EQ(t[4].Port, 0u);
    EXPECT_FALSE(t.removeSlot(4));  // not an occupied slot
    EXPECT_FALSE(t.removeSlot(-1));
}

TEST(ChannelTable, AFullTableHasNoEmptySlotAndRemovalNeverWalksPastTheEnd) {
    ChannelTable t;
    t.emptyAll();
    for (int s = 0; s < kSlots; ++s) {
        t[s] = channel(static_cast<std::uint8_t>(s + 1), "COM1",
                       100u + static_cast<std::uint32_t>(s), 2);
    }
    EXPECT_TRUE(t.isFull());
    EXPECT_EQ(t.listLength(), 16);
    ASSERT_TRUE(t.removeSlot(15));
    EXPECT_TRUE(t[15].isEmpty());
    EXPECT_EQ(t.firstEmpty(), 15);
    int visited = 0;
    t.forEachOccupied([&](int, const ChannelRecord&) { ++visited; });
    EXPECT_EQ(visited, 15);
}

TEST(ChannelTable, TextsAreCutToTheirCapacity) {
    ChannelRecord p;
    p.ComIn = "COM123456";
    p.AddrIP = "192.168.100.200.7";
    EXPECT_EQ(p.ComIn, "COM1234");
    EXPECT_EQ(p.AddrIP, "192.168.100.200");
}

TEST(AddressKeySet, AdmitsDigitsDotBackspaceAndTheAnySourceLettersOnly) {
    for (char32_t c : std::u32string(U"0123456789.<tqaWnsu\b")) {
        EXPECT_TRUE(inAddressKeySet(c)) << static_cast<int>(c);
    }
    for (char32_t c : std::u32string(U" -,ЖAwQx\x16\x7f")) {
        EXPECT_FALSE(inAddressKeySet(c)) << static_cast<int>(c);
    }
}

}  // namespace
}  // namespace lan2com
